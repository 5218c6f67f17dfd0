#include "pinhole_keeper.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace portlink;

namespace {

const Ipv6Address kA = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20};
const Ipv6Address kB = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};

// One case: the ways at the start ("UP": UPnP, then PCP); the answers to the exchanges in
// turn, the last one repeated ("g60": granted for 60 s, with id 40 + its number; "-": no
// answer; "r": refused, retry later; "x": refused for good); events ("ms:what" after that
// long, "#n:what" when exchange n goes out, "<:what" before TCP 8080 is wanted at 0; "a,b"
// for two at once); how
// long to run; and what went out ("ms:" job, way, last address byte in hex, "#id" of a UPnP
// Renew or Close, "/" and the first nonce byte for PCP).
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
    std::string log;

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
        else if (what == "nonce-")
            noncesLeft = false;
        else if (what.rfind("ways=", 0) == 0)
            k.setWays(now, waysOf(arg));
        else if (what.rfind("addr=", 0) == 0)
            k.setAddresses(now,
                           arg == "AB" ? std::vector{kA, kB} : std::vector{arg == "A" ? kA : kB});
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
                std::ostringstream s;
                s << (log.empty() ? "" : " ") << now - began << ':' << "ORC"[int(x.job)]
                  << "UP"[int(x.way)] << std::hex << int(x.address[15]) << std::dec;
                if (x.way == PinholeWay::Upnp && x.job != PinholeJob::Open)
                    s << '#' << x.uniqueId;
                if (x.way == PinholeWay::Pcp)
                    s << '/' << int(x.nonce[0]);
                log += s.str();
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
        b.k.setAddresses(b.now, {kA});
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
        {"a dropped address: its pinholes go unsent", "U", "g3600",
         "<:addr=AB 1000:addr=B 1000:unwant", 1000, "0:OU20 0:OU21 1000:CU21#41"},
        {"dropped while out: the answer counts for nothing", "U", "g3600", "#0:addr=B 1:addr=AB", 1,
         "0:OU20 0:OU21 1:OU20"},
        {"the same list again: nothing changes", "U", "-", "1000:addr=A", 60000,
         "0:OU20 60000:OU20"},
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
    });
}
