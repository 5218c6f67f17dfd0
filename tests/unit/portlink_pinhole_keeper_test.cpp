#include "pinhole_keeper.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace portlink;

namespace {

const Ipv6Address kA = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20};
const Ipv6Address kB = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};

// One case: the ways at the start ("UP": UPnP, then PCP); the answers to the exchanges in
// turn, the last one repeated ("g60": granted for 60 s, with id 40 + its number; "-": no
// answer; "r": refused, retry later; "x": refused for good); events ("ms:what" after that
// long, "#n:what" when exchange n goes out, "<:what" before TCP 8080 is wanted at 0; "a,b"
// for two at once; "take" hands out the Closes of TCP 8080 to the remove, which keeps them
// out until "answer"); how long to run; and what went out ("ms:" job ("!" before it: taken
// by the remove), way, last address byte in hex, "#id" of a UPnP Renew or Close, "/" and the
// first nonce byte for PCP).
struct Case {
    const char *name, *ways, *answers, *events;
    uint64_t untilMs;
    const char *log;
};

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::vector<PinholeWay> waysOf(const std::string &text) {
    std::vector<PinholeWay> ways;
    for (char c : text)
        ways.push_back(c == 'U' ? PinholeWay::Upnp : PinholeWay::Pcp);
    return ways;
}

// "A", "B" preferred, "a", "b" deprecated, "" none: the view of this host's addresses.
std::vector<PinholeAddress> addressesOf(const std::string &text) {
    std::vector<PinholeAddress> addresses;
    for (char c : text)
        addresses.push_back({c == 'A' || c == 'a' ? kA : kB, c == 'A' || c == 'B'});
    return addresses;
}

struct Bench {
    uint64_t now = 1000000;
    const uint64_t began = now;
    uint8_t drawn = 0;
    bool noncesLeft = true;
    PinholeKeeper k{[this](MappingNonce &n) {
        n.fill(++drawn);
        return noncesLeft;
    }};
    std::vector<std::string> answers;
    std::multimap<size_t, std::string> onSend;
    size_t sends = 0;
    std::vector<PinholeExchange> taken; // out with the remove
    std::string log;

    void note(const PinholeExchange &x, bool byRemove) {
        std::ostringstream s;
        s << (log.empty() ? "" : " ") << now - began << ':' << (byRemove ? "!" : "")
          << "ORC"[int(x.job)] << "UP"[int(x.way)] << std::hex << int(x.address[15]) << std::dec;
        if (x.way == PinholeWay::Upnp && x.job != PinholeJob::Open)
            s << '#' << x.uniqueId;
        if (x.way == PinholeWay::Pcp)
            s << '/' << int(x.nonce[0]);
        log += s.str();
    }

    void act(const std::string &what) {
        if (const size_t comma = what.find(','); comma != std::string::npos) {
            act(what.substr(0, comma));
            act(what.substr(comma + 1));
            return;
        }
        const std::string arg = what.substr(what.find('=') + 1);
        if (what == "want" || what == "unwant" || what == "udp")
            what == "unwant" ? k.unwant(now, kProtocolTcp, 8080)
                             : k.want(now, what == "udp" ? kProtocolUdp : kProtocolTcp,
                                      what == "udp" ? 9000 : 8080);
        else if (what == "restart")
            k.gatewayRestarted(now);
        else if (what == "take")
            for (const PinholeExchange &x : k.takeCloses(now, kProtocolTcp, 8080)) {
                note(x, true);
                taken.push_back(x);
            }
        else if (what == "answer")
            for (const PinholeExchange &x : std::exchange(taken, {}))
                k.finish(now, x, answer(sends++));
        else if (what == "nonce-")
            noncesLeft = false;
        else if (what.rfind("ways=", 0) == 0)
            k.setWays(now, waysOf(arg));
        else if (what.rfind("addr=", 0) == 0)
            k.setAddresses(now, addressesOf(arg));
        else
            ADD_FAILURE() << "no such event " << what;
    }
    PinholeResult answer(size_t n) const {
        const std::string &a = answers[std::min(n, answers.size() - 1)];
        PinholeResult r;
        r.outcome = a[0] == 'g'   ? ExchangeOutcome::Granted
                    : a[0] == '-' ? ExchangeOutcome::Unanswered
                                  : ExchangeOutcome::Refused;
        r.retryLater = a[0] != 'x';
        r.lifetime = a[0] == 'g' ? uint32_t(std::stoul(a.substr(1))) : 0;
        r.uniqueId = uint16_t(40 + n);
        return r;
    }
    // The keeper thread's loop until `untilMs` after the start.
    void run(uint64_t untilMs) {
        PinholeExchange x;
        while (sends < 1000) {
            if (k.nextExchange(now, x)) {
                note(x, false);
                for (auto [at, end] = onSend.equal_range(sends); at != end; ++at)
                    act(at->second);
                k.finish(now, x, answer(sends++));
                continue;
            }
            const uint64_t wake = k.nextWakeMs(now);
            EXPECT_TRUE(wake >= now && wake <= now + kKeeperLongestWaitMs);
            if (std::max(wake, now + 1) > began + untilMs)
                break;
            now = std::max(wake, now + 1);
        }
        EXPECT_LT(sends, 1000u) << log.substr(0, 200);
        now = began + untilMs;
    }
};

void runCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.answers = words(c.answers);
        b.k.setWays(b.now, waysOf(c.ways));
        b.k.setAddresses(b.now, addressesOf("A"));
        std::vector<std::pair<uint64_t, std::string>> timed;
        for (const std::string &e : words(c.events)) {
            const std::string when = e.substr(0, e.find(':')), what = e.substr(e.find(':') + 1);
            if (when == "<")
                b.act(what);
            else if (when[0] == '#')
                b.onSend.emplace(std::stoul(when.substr(1)), what);
            else
                timed.emplace_back(std::stoull(when), what);
        }
        b.act("want");
        for (const auto &[at, what] : timed) {
            b.run(at);
            b.act(what);
        }
        b.run(c.untilMs);
        EXPECT_EQ(b.log, c.log);
    }
}

} // namespace

TEST(PortlinkPinholeKeeper, OpenRenewCloseTiming) {
    runCases({
        {"granted: renewed at half the lease", "U", "g3600", "", 3600000,
         "0:OU20 1800000:RU20#40 3600000:RU20#40"},
        {"1 s: asked for each second", "P", "g1", "", 2000, "0:OP20/1 1000:OP20/1 2000:OP20/1"},
        {"renewal unanswered: half the time left, 1 s at least; lapsed: an Open", "P", "g40 -", "",
         100750,
         "0:OP20/1 20000:RP20/1 30000:RP20/1 35000:RP20/1 37500:RP20/1 38750:RP20/1 "
         "39750:RP20/1 40750:OP20/1 100750:OP20/1"},
        {"PCP renewal refused for a while: as unanswered", "P", "g8 r", "", 7000,
         "0:OP20/1 4000:RP20/1 6000:RP20/1 7000:RP20/1"},
        {"Open refused or unanswered: a minute later", "U", "r -", "", 120000,
         "0:OU20 60000:OU20 120000:OU20"},
        {"granted for 0 s: not open", "P", "g0 r", "", 60000, "0:OP20/1 60000:OP20/1"},
        {"Close unanswered: 2 s and 6 s after the first, then gone", "U", "g3600 -", "0:unwant",
         60000, "0:OU20 0:CU20#40 2000:CU20#40 6000:CU20#40"},
        {"Close unanswered: not after the lifetime", "P", "g4 -", "0:unwant", 60000,
         "0:OP20/1 0:CP20/1 2000:CP20/1"},
        {"Close refused: gone", "U", "g3600 x", "0:unwant", 60000, "0:OU20 0:CU20#40"},
        {"never granted: dropped unsent", "U", "-", "0:unwant", 600000, "0:OU20"},
        {"UPnP renewal refused: opened anew, the new id closed", "U", "g3600 g3600 x g3600",
         "3600000:unwant", 3600000,
         "0:OU20 1800000:RU20#40 3600000:RU20#40 3600000:OU20 3600000:CU20#43"},
    });
}

TEST(PortlinkPinholeKeeper, WaysFallBackAndChange) {
    runCases({
        {"refused for good: the next way at once, the first a minute later", "UP", "x", "", 60000,
         "0:OU20 0:OP20/1 60000:OU20 60000:OP20/1"},
        {"no ways: nothing sent until one comes", "", "g3600", "90000:ways=P", 90000,
         "90000:OP20/1"},
        {"new first way: what is not open moves at once", "UP", "- g4", "1000:ways=PU", 3000,
         "0:OU20 1000:OP20/1 3000:RP20/1"},
        {"new first way: what is open keeps its way", "UP", "g3600", "1000:ways=PU", 1800000,
         "0:OU20 1800000:RU20#40"},
        {"its way unlisted: kept until it fails", "PU", "g10 x g10", "0:ways=U", 5000,
         "0:OP20/1 5000:RP20/1 5000:OU20"},
        {"its way unlisted, lapsed: the first way", "PU", "g1 -", "0:ways=U", 1000,
         "0:OP20/1 1000:OU20"},
        {"no nonce: nothing sent", "P", "g3600", "<:nonce-", 120000, ""},
    });
}

TEST(PortlinkPinholeKeeper, AddressChanges) {
    runCases({
        {"a new address: a pinhole for each wanted port at once", "U", "g3600",
         "<:udp 1000:addr=AB", 1000, "0:OU20 0:OU20 1000:OU21 1000:OU21"},
        {"the same list again: nothing changes", "U", "-", "1000:addr=A", 60000,
         "0:OU20 60000:OU20"},
        {"missing under a minute: kept, same nonce, renewed meanwhile", "P", "g60",
         "10000:addr= 69999:addr=A", 120000,
         "0:OP20/1 30000:RP20/1 60000:RP20/1 90000:RP20/1 120000:RP20/1"},
        {"missing under a minute: same UPnP id", "U", "g60", "10000:addr=B 50000:addr=BA", 90000,
         "0:OU20 10000:OU21 30000:RU20#40 40000:RU21#41 60000:RU20#40 70000:RU21#41 90000:RU20#40"},
        {"missing under a minute: a retry keeps its time", "U", "-", "10000:addr= 65000:addr=A",
         120000, "0:OU20 60000:OU20 120000:OU20"},
        {"missing a minute: one Close; back later: a new pinhole", "P", "g3600 -",
         "10000:addr= 80000:addr=A", 140000, "0:OP20/1 70000:CP20/1 80000:OP20/2 140000:OP20/2"},
        {"missing a minute, not open: forgotten unsent", "U", "-", "10000:addr=", 200000,
         "0:OU20 60000:OU20"},
        {"missing a minute while closing: one Close", "U", "g3600 -", "10000:addr= 69000:unwant",
         200000, "0:OU20 69000:CU20#40 70000:CU20#40"},
        {"deprecated: open ones renewed, a new port waits until preferred", "U", "g60",
         "10000:addr=a 20000:udp 70000:addr=A", 70000,
         "0:OU20 30000:RU20#40 60000:RU20#40 "
         "70000:OU20"},
        {"deprecated: a refused UPnP renewal is not opened anew", "U", "g60 x",
         "10000:addr=a 100000:addr=A", 100000, "0:OU20 30000:RU20#40 100000:OU20"},
        {"deprecated: lost at a restart, opened once preferred", "P", "g3600",
         "10000:addr=a 20000:restart 30000:addr=A", 30000, "0:OP20/1 30000:OP20/1"},
    });
}

TEST(PortlinkPinholeKeeper, GatewayRestarts) {
    runCases({
        {"open: opened again 5 s after its last exchange", "U", "g3600", "1000:restart", 10000,
         "0:OU20 5000:OU20"},
        {"long after: at once", "U", "g3600", "100000:restart", 100000, "0:OU20 100000:OU20"},
        {"not open: as it was", "U", "- g3600", "1000:restart", 60000, "0:OU20 60000:OU20"},
        {"again within the gap: one Open each gap", "U", "g3600", "1000:restart 6000:restart",
         10000, "0:OU20 5000:OU20 10000:OU20"},
        {"unwanted before the Open: closed", "U", "g3600", "1000:restart 2000:unwant", 10000,
         "0:OU20 2000:CU20#40"},
    });
}

TEST(PortlinkPinholeKeeper, WantAndUnwant) {
    runCases({
        {"wanted twice: one pinhole", "U", "g3600", "0:want", 1000, "0:OU20"},
        {"unwanted while its Open is out, then granted: closed", "U", "g3600", "#0:unwant", 1000,
         "0:OU20 0:CU20#40"},
        {"unwanted while its Open is out, then refused: dropped", "U", "r", "#0:unwant", 100000,
         "0:OU20"},
        {"wanted again while closing: renewed", "U", "g3600", "0:unwant,want", 1000,
         "0:OU20 0:RU20#40"},
        {"wanted again while its Close is out: opened after it", "U", "g3600", "#1:want 0:unwant",
         1000, "0:OU20 0:CU20#40 0:OU20"},
        {"wanted and unwanted again while its Close is out: closed anew", "U", "g3600 -",
         "#1:want,unwant 0:unwant", 60000, "0:OU20 0:CU20#40 0:CU20#40 2000:CU20#40 6000:CU20#40"},
        {"wanted again while the remove's Close is out: opened after it", "U", "g3600",
         "1000:unwant,take,want 1500:answer", 1500, "0:OU20 1000:!CU20#40 1500:OU20"},
    });
}

TEST(PortlinkPinholeKeeper, ClosesTakenByTheRemove) {
    runCases({
        {"out with the remove: not sent again; unanswered: retried on time", "U", "g3600 -",
         "1000:unwant,take 1500:answer", 60000, "0:OU20 1000:!CU20#40 3000:CU20#40 7000:CU20#40"},
        {"each address's Close of that port, once", "U", "g3600",
         "<:addr=AB <:udp 1000:take "
         "1000:unwant,take,take",
         2000, "0:OU20 0:OU21 0:OU20 0:OU21 1000:!CU20#42 1000:!CU21#43"},
        {"one the thread has out: not taken", "U", "g3600", "<:addr=AB #2:take 1000:unwant", 2000,
         "0:OU20 0:OU21 1000:CU20#40 1000:!CU21#41"},
        {"no way: nothing until one comes", "U", "g3600", "1000:ways=,unwant,take 2000:ways=U,take",
         2000, "0:OU20 2000:!CU20#40"},
    });
}
