// vnxhost: loads an extension the way the runtime does and calls its named functions.
//
//   vnxhost [-v] EXTENSION.dll COMMAND...
//
// Commands, each one word:
//   list                    the function table: its count, then "index name" per entry
//   NAME(ARG,...)           call a function; ARG is a decimal integer, s:TEXT (a string
//                           object, which the extension cannot read as an integer) or b:0/b:1.
//                           Fewer arguments than the function reads may be given.
//                           Prints the answer: true, false, the text, or null.
//   wait-search(MS)         call isSearchEnd until it answers true, at most MS milliseconds;
//                           prints true when it did, false when the bound ran out
//   sleep(MS)               pause
//   repeat(N) ... end       run the commands in between N times, printing only a summary
//   spin(MS,NAME(ARG,...))  call one function as fast as possible for MS milliseconds;
//                           prints the number of calls and of each answer
//   stats                   memory figures and handle counts of this process
//   open-context            call the context initializer again with a new context handle;
//                           prints "context N" (the first context, opened at load, is 1).
//                           Functions are called with the most recently opened context
//                           that is still open.
//   close-context           call the context finalizer with the most recently opened
//                           context not yet finalized; prints "context N closed" (or
//                           "none" when every context is closed)
//   unload                  context finalizer of each remaining context (in the order
//                           they were opened), extension finalizer, FreeLibrary
// With -v every answer line is prefixed with the elapsed time and the command.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "runtime_interface.h"
#include "standin_objects.h"

namespace {

struct Extension {
    HMODULE module = nullptr;
    void *extensionData = nullptr;
    VnxContextInitializer contextInitializer = nullptr;
    VnxContextFinalizer contextFinalizer = nullptr;
    VnxExtensionFinalizer extensionFinalizer = nullptr;
};

struct Context {
    int handle = 0; // the context handle is the address of this field
    int number = 0; // 1 for the context opened at load, then 2, 3, ...
    bool open = true;
    uint32_t count = 0;
    const VnxNamedFunction *table = nullptr;
};

Extension extension;
std::list<Context> contexts; // a list, so that each handle keeps its address
bool verbose = false;
bool quiet = false;
DWORD startTicks = 0;

void say(const std::string &command, const std::string &answer) {
    if (quiet)
        return;
    if (verbose)
        std::printf("[%7lu ms] %s = %s\n", GetTickCount() - startTicks, command.c_str(),
                    answer.c_str());
    else
        std::printf("%s\n", answer.c_str());
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string &message) {
    std::fprintf(stderr, "vnxhost: %s\n", message.c_str());
    std::exit(2);
}

Context &openContext();

bool load(const char *path) {
    extension.module = LoadLibraryA(path);
    if (extension.module == nullptr)
        return false;
    auto initializer = reinterpret_cast<VnxExtensionInitializer>(
        reinterpret_cast<void *>(GetProcAddress(extension.module, "UpnpExtInitializer")));
    extension.extensionFinalizer = reinterpret_cast<VnxExtensionFinalizer>(
        reinterpret_cast<void *>(GetProcAddress(extension.module, "UpnpExtFinalizer")));
    if (initializer == nullptr)
        fail("no UpnpExtInitializer");
    initializer(&extension.extensionData, &extension.contextInitializer,
                &extension.contextFinalizer);
    if (extension.contextInitializer == nullptr)
        fail("no context initializer");
    openContext();
    return true;
}

Context &openContext() {
    Context &context = contexts.emplace_back();
    context.number = static_cast<int>(contexts.size());
    extension.contextInitializer(extension.extensionData, "vnxhost", &context.handle,
                                 &context.count, &context.table);
    return context;
}

// The most recently opened context that is still open, or null.
Context *currentContext() {
    for (auto it = contexts.rbegin(); it != contexts.rend(); ++it)
        if (it->open)
            return &*it;
    return nullptr;
}

Context &liveContext() {
    Context *context = currentContext();
    if (context == nullptr)
        fail("no open context");
    return *context;
}

const VnxNamedFunction *find(const std::string &name) {
    const Context &context = liveContext();
    for (uint32_t i = 0; i < context.count; ++i)
        if (name == context.table[i].name)
            return &context.table[i];
    return nullptr;
}

std::string describe(VnxObject answer) {
    int32_t number = 0;
    std::vector<char> text(65536);
    switch (VnxDescribeObject(answer, &number, text.data(), static_cast<uint32_t>(text.size()))) {
    case VNX_KIND_BOOL:
        return number ? "true" : "false";
    case VNX_KIND_INT32:
        return std::to_string(number);
    case VNX_KIND_TEXT:
        return std::string(text.data());
    default:
        return "null";
    }
}

struct Call {
    std::string name;
    std::vector<std::string> arguments;
};

// "name(a,b,c)" -> name and arguments; false when the word is not of that form.
bool parseCall(const std::string &word, Call &call) {
    const size_t open = word.find('(');
    if (open == std::string::npos || word.empty() || word.back() != ')')
        return false;
    call.name = word.substr(0, open);
    call.arguments.clear();
    const std::string inside = word.substr(open + 1, word.size() - open - 2);
    if (inside.empty())
        return true;
    size_t begin = 0;
    for (;;) {
        const size_t comma = inside.find(',', begin);
        call.arguments.push_back(inside.substr(begin, comma - begin));
        if (comma == std::string::npos)
            break;
        begin = comma + 1;
    }
    return true;
}

VnxObject makeArgument(const std::string &text) {
    VnxObject object = nullptr;
    if (text.rfind("s:", 0) == 0)
        VnxNewObjectFromUTF8(static_cast<uint32_t>(text.size() - 2), text.c_str() + 2, &object);
    else if (text.rfind("b:", 0) == 0)
        VnxNewObjectFromBool(text == "b:1" ? 1 : 0, &object);
    else
        VnxNewObjectFromInt32(static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10)),
                              &object);
    return object;
}

// Releases an answer or argument of a call.  One that is no longer live (an argument that
// the extension handed back as its answer, say) ends the run with an error.
void release(VnxObject object, const std::string &function) {
    if (VnxReleaseObject(object) == VNX_NOT_LIVE)
        fail(function + ": object released twice");
}

// Calls a function; returns its answer text.
std::string invoke(const Call &call) {
    const VnxNamedFunction *entry = find(call.name);
    if (entry == nullptr)
        fail("no such function: " + call.name);
    std::vector<VnxObject> arguments;
    for (const std::string &text : call.arguments)
        arguments.push_back(makeArgument(text));
    VnxObject answer = entry->function(&liveContext().handle, entry->functionData,
                                       static_cast<uint32_t>(arguments.size()),
                                       arguments.empty() ? nullptr : arguments.data());
    const std::string result = describe(answer);
    release(answer, call.name);
    for (VnxObject object : arguments)
        release(object, call.name);
    return result;
}

// Counts open handles by asking about every small handle value; unlike the process handle
// count, this works on every platform layer the host may run on.
unsigned long probeHandles() {
    unsigned long open = 0;
    for (uintptr_t value = 4; value < 65536; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++open;
    }
    return open;
}

std::map<std::string, int> tally;

// The first argument of a step such as sleep(MS); a usage error when it has none.
const std::string &firstArgument(const Call &call, const char *usage) {
    if (call.arguments.empty())
        fail(std::string("usage: ") + usage);
    return call.arguments.front();
}

void run(const std::vector<std::string> &words, size_t begin, size_t end);

// Runs one command at words[i]; returns the index of the next one.
size_t step(const std::vector<std::string> &words, size_t i) {
    const std::string &word = words[i];
    Call call;
    if (word == "list") {
        const Context &context = liveContext();
        say(word, std::to_string(context.count) + " functions");
        for (uint32_t k = 0; k < context.count; ++k)
            say(word, std::to_string(k + 1) + " " + context.table[k].name +
                          (context.table[k].functionData == nullptr ? "" : " (data)"));
        return i + 1;
    }
    if (word == "open-context") {
        if (extension.module == nullptr)
            fail("open-context: the extension is unloaded");
        say(word, "context " + std::to_string(openContext().number));
        return i + 1;
    }
    if (word == "close-context") {
        Context *context = currentContext();
        if (context == nullptr) {
            say(word, "none");
            return i + 1;
        }
        if (extension.contextFinalizer != nullptr)
            extension.contextFinalizer(&context->handle);
        context->open = false;
        say(word, "context " + std::to_string(context->number) + " closed");
        return i + 1;
    }
    if (word == "stats") {
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(GetCurrentProcess(),
                             reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof counters);
        DWORD handles = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handles);
        say(word, "private_bytes=" + std::to_string(counters.PrivateUsage) +
                      " pagefile_bytes=" + std::to_string(counters.PagefileUsage) +
                      " working_set=" + std::to_string(counters.WorkingSetSize) +
                      " handles=" + std::to_string(handles) +
                      " probed_handles=" + std::to_string(probeHandles()));
        return i + 1;
    }
    if (word == "unload") {
        for (Context &context : contexts)
            if (context.open && extension.contextFinalizer != nullptr) {
                extension.contextFinalizer(&context.handle);
                context.open = false;
            }
        if (extension.extensionFinalizer != nullptr)
            extension.extensionFinalizer(extension.extensionData);
        FreeLibrary(extension.module);
        extension = Extension();
        say(word, "unloaded");
        return i + 1;
    }
    if (!parseCall(word, call))
        fail("cannot read command: " + word);
    if (call.name == "sleep") {
        Sleep(static_cast<DWORD>(
            std::strtoul(firstArgument(call, "sleep(MS)").c_str(), nullptr, 10)));
        return i + 1;
    }
    if (call.name == "wait-search") {
        const DWORD bound = static_cast<DWORD>(
            std::strtoul(firstArgument(call, "wait-search(MS)").c_str(), nullptr, 10));
        const DWORD begin = GetTickCount();
        const Call probe{"isSearchEnd", {}};
        bool ended = invoke(probe) == "true";
        while (!ended && GetTickCount() - begin < bound) {
            Sleep(20);
            ended = invoke(probe) == "true";
        }
        say(word, ended ? "true" : "false");
        return i + 1;
    }
    if (call.name == "repeat") {
        const long times =
            std::strtol(firstArgument(call, "repeat(N) ... end").c_str(), nullptr, 10);
        size_t stop = i + 1;
        int depth = 1;
        for (; stop < words.size(); ++stop) {
            if (words[stop].rfind("repeat(", 0) == 0)
                ++depth;
            else if (words[stop] == "end" && --depth == 0)
                break;
        }
        if (stop == words.size())
            fail("repeat without end");
        const bool wasQuiet = quiet;
        tally.clear();
        quiet = true;
        for (long k = 0; k < times; ++k)
            run(words, i + 1, stop);
        quiet = wasQuiet;
        say(word, "repeat " + std::to_string(times) + " true=" + std::to_string(tally["true"]) +
                      " false=" + std::to_string(tally["false"]));
        return stop + 1;
    }
    if (call.name == "spin") {
        const DWORD bound = static_cast<DWORD>(
            std::strtoul(firstArgument(call, "spin(MS,NAME(ARG,...))").c_str(), nullptr, 10));
        const size_t open = word.find(',');
        Call inner;
        if (open == std::string::npos || !parseCall(word.substr(open + 1, word.size() - open - 2), inner))
            fail("spin needs MS,NAME(ARGS)");
        std::map<std::string, long> answers;
        long calls = 0;
        const DWORD begin = GetTickCount();
        while (GetTickCount() - begin < bound) {
            ++answers[invoke(inner)];
            ++calls;
        }
        std::string summary = "spin calls=" + std::to_string(calls);
        for (const auto &kv : answers)
            summary += " " + kv.first + "=" + std::to_string(kv.second);
        say(word, summary);
        return i + 1;
    }
    const std::string answer = invoke(call);
    ++tally[answer];
    say(word, answer);
    return i + 1;
}

void run(const std::vector<std::string> &words, size_t begin, size_t end) {
    for (size_t i = begin; i < end;)
        i = step(words, i);
}

} // namespace

int main(int argc, char **argv) {
    startTicks = GetTickCount();
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "-v") {
        verbose = true;
        first = 2;
    }
    if (argc <= first)
        fail("usage: vnxhost [-v] EXTENSION.dll COMMAND...");
    if (!load(argv[first]))
        fail(std::string("cannot load ") + argv[first] + " (error " +
             std::to_string(GetLastError()) + ")");
    std::vector<std::string> words(argv + first + 1, argv + argc);
    run(words, 0, words.size());
    return 0;
}
