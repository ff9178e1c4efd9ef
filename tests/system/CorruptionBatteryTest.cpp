// A seeded battery of damaged files given to the tool that reads each kind:
// detection files to the host's render phase, render files to the merger,
// final view files to the viewer. Real files of the tiny scene are mutated a
// few hundred ways (bits flipped in the binary header, the JSON text and the
// blocks, truncations, huge counts; final view files also with their check
// value recomputed, and with sample codes rewritten, so that the reader gets
// past the digest). Every run must end in success or in a refusal that names
// the file, never in a signal, a sanitizer report or a hang, and every file a
// tool writes must read back with the suite's own byte readers.
//
// The generator is seeded: a failing variant is reported with its number and
// its mutation, and QUORVEL_BATTERY_KEEP=<folder> keeps the failing inputs.
// QUORVEL_BATTERY_VARIANTS=<n> sets the number of variants of all three kinds.

#include <gtest/gtest.h>
#include <blosc.h>
#include <fcntl.h>
#include <json/json.h>
#include <lodepng.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/FinalViewBytes.h"
#include "support/PhaseFileBytes.h"
#include "support/SystemFixtures.h"
#include "support/TempDir.h"
#include "support/TinyScene.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using QuorvelTest::fileBytes;
using QuorvelTest::TempDir;
using QuorvelTest::writeFileBytes;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Variants of all three kinds: about a minute of runs in a normal build; the
// sanitizers slow every run several times, so they get a third.
constexpr int kVariants = kSanitized ? 140 : 420;
constexpr int kTimeoutSeconds = kSanitized ? 90 : 30;
constexpr unsigned kParallelRuns = 2;

int variantCount(double share)
{
    int total = kVariants;
    if (const char* v = std::getenv("QUORVEL_BATTERY_VARIANTS"))
        total = std::max(3, std::atoi(v));
    return std::max(1, static_cast<int>(total * share));
}

// splitmix64: the same sequence on every platform and library.
struct Rng {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
    bool coin() { return (next() & 1) != 0; }
    template <class T>
    const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }
};

uint32_t u32(const std::string& b, std::size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void set32(std::string& b, std::size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void set16(std::string& b, std::size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

std::string hex(uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

// One damaged file and what was done to it.
struct Variant {
    std::string mutation;
    std::string bytes;
};

const std::vector<uint32_t> kHugeValues = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u,
                                           0x10000000u, 0x00FFFFFFu, 0x00010000u, 0u};

// Flips 1 to `most` bytes at random inside [begin, end).
std::string flipBytes(std::string& b, Rng& rng, std::size_t begin, std::size_t end, std::size_t most)
{
    std::string where;
    const std::size_t count = 1 + rng.below(most);
    for (std::size_t i = 0; i < count && begin < end; ++i) {
        const std::size_t at = begin + rng.below(end - begin);
        const uint8_t mask = static_cast<uint8_t>(1 + rng.below(255));
        b[at] = static_cast<char>(b[at] ^ mask);
        where += (where.empty() ? "" : ", ") + std::to_string(at) + " ^ " + hex(mask);
    }
    return "byte " + where;
}

// --- Detection and render files ---------------------------------------

// Where the parts of a detection or render file lie: the 20 bytes of
// signature, version and length, the JSON text, and the block headers
// (count, stored size) as far as they can be followed without element sizes.
struct PhaseLayout {
    std::size_t jsonEnd = 20;
    std::vector<std::size_t> blockHeads;
};

PhaseLayout phaseLayout(const std::string& b)
{
    PhaseLayout l;
    l.jsonEnd = std::min<std::size_t>(b.size(), 20 + u32(b, 16));
    std::size_t at = l.jsonEnd;
    while (at + 8 <= b.size()) {
        l.blockHeads.push_back(at);
        const uint32_t count = u32(b, at), stored = u32(b, at + 4);
        if (stored == 0 && count != 0)
            break; // raw data: its size needs the element size
        at += 8 + stored;
    }
    return l;
}

// Odd values for a JSON member: wrong types, limits of every integer width.
Json::Value oddJsonValue(Rng& rng)
{
    switch (rng.below(16)) {
    case 0: return Json::Value(0);
    case 1: return Json::Value(-1);
    case 2: return Json::Value(65535);
    case 3: return Json::Value(65536);
    case 4: return Json::Value(Json::Int(2147483647));
    case 5: return Json::Value(Json::Int(-2147483647 - 1));
    case 6: return Json::Value(Json::UInt(4294967295u));
    case 7: return Json::Value(Json::UInt64(1) << 53);
    case 8: return Json::Value(Json::UInt64(0xFFFFFFFFFFFFFFFFull));
    case 9: return Json::Value(1e308);
    case 10: return Json::Value(-1e308);
    case 11: return Json::Value(0.5);
    case 12: return Json::Value("text");
    case 13: return Json::Value(Json::nullValue);
    case 14: return Json::Value(Json::arrayValue);
    default: return Json::Value(Json::objectValue);
    }
}

std::string describe(const Json::Value& v)
{
    Json::FastWriter writer;
    std::string text = writer.write(v);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text.size() > 40 ? text.substr(0, 40) + "..." : text;
}

// A member of the JSON header changed, removed, or an array element of it
// changed; the length word follows the new text.
bool editJson(std::string& b, Rng& rng, std::string& what)
{
    const uint32_t length = u32(b, 16);
    Json::Value header;
    Json::Reader reader;
    if (!reader.parse(b.substr(20, length), header) || !header.isObject() || header.empty())
        return false;
    const std::vector<std::string> names = header.getMemberNames();
    const std::string name = rng.pick(names);
    Json::Value& member = header[name];
    const std::size_t how = rng.below(8);
    if (how == 0) {
        header.removeMember(name);
        what = "JSON member \"" + name + "\" removed";
    } else if (how <= 2 && member.isArray() && !member.empty()) {
        const Json::ArrayIndex i = static_cast<Json::ArrayIndex>(rng.below(member.size()));
        if (rng.coin()) {
            member[i] = oddJsonValue(rng);
            what = "JSON \"" + name + "\"[" + std::to_string(i) + "] set to " + describe(member[i]);
        } else {
            Json::Value shorter(Json::arrayValue);
            for (Json::ArrayIndex k = 0; k < i; ++k)
                shorter.append(member[k]);
            member = shorter;
            what = "JSON \"" + name + "\" cut to " + std::to_string(i) + " elements";
        }
    } else if (how <= 2 && member.isObject() && !member.empty()) {
        const std::string inner = rng.pick(member.getMemberNames());
        member[inner] = oddJsonValue(rng);
        what = "JSON \"" + name + "\".\"" + inner + "\" set to " + describe(member[inner]);
    } else {
        member = oddJsonValue(rng);
        what = "JSON \"" + name + "\" set to " + describe(member);
    }
    Json::FastWriter writer;
    std::string json = writer.write(header);
    if (!json.empty() && json.back() == '\n')
        json.pop_back();
    std::string out = b.substr(0, 20) + json + b.substr(20 + length);
    set32(out, 16, static_cast<uint32_t>(json.size()));
    b = std::move(out);
    return true;
}

std::vector<Variant> phaseFileVariants(const std::string& real, uint64_t seed, int count)
{
    Rng rng{seed};
    const PhaseLayout layout = phaseLayout(real);
    std::vector<Variant> variants;
    while (static_cast<int>(variants.size()) < count) {
        Variant v{"", real};
        std::string& b = v.bytes;
        switch (rng.below(7)) {
        case 0:
            v.mutation = "signature/version/length " + flipBytes(b, rng, 0, 20, 1);
            break;
        case 1:
            v.mutation = "JSON text " + flipBytes(b, rng, 20, layout.jsonEnd, 3);
            break;
        case 2:
            v.mutation = "blocks " + flipBytes(b, rng, layout.jsonEnd, b.size(), 6);
            break;
        case 3: {
            const std::size_t at = rng.coin() ? rng.below(layout.jsonEnd + 64) : rng.below(b.size());
            b.resize(std::min(at, b.size() - 1));
            v.mutation = "truncated to " + std::to_string(b.size()) + " of " + std::to_string(real.size()) + " bytes";
            break;
        }
        case 4: {
            if (layout.blockHeads.empty())
                continue;
            const std::size_t block = rng.below(layout.blockHeads.size());
            const bool stored = rng.coin();
            const std::size_t at = layout.blockHeads[block] + (stored ? 4 : 0);
            uint32_t value = rng.pick(kHugeValues);
            if (rng.below(4) == 0)
                value = u32(b, at) + (rng.coin() ? 1u : 0xFFFFFFFFu);
            set32(b, at, value);
            v.mutation = "block " + std::to_string(block) + (stored ? " stored size" : " element count") +
                         " set to " + hex(value);
            break;
        }
        default:
            if (!editJson(b, rng, v.mutation))
                continue;
            break;
        }
        variants.push_back(std::move(v));
    }
    return variants;
}

// --- Final view files --------------------------------------------------

// The sample block compressed again after `edit`, the sections behind it
// moved along.
std::string withSampleCodes(const std::string& b, const std::function<void(std::string&, uint32_t&)>& edit)
{
    const uint32_t size = u32(b, 152);
    std::string codes(static_cast<std::size_t>(u32(b, 12)) * 16, '\0');
    if (blosc_decompress_ctx(b.data() + 200, codes.data(), codes.size(), 1) != static_cast<int>(codes.size()))
        return {};
    uint32_t samples = u32(b, 12);
    edit(codes, samples);
    std::string block(codes.size() + BLOSC_MAX_OVERHEAD, '\0');
    const int stored = blosc_compress_ctx(6, BLOSC_SHUFFLE, 16, codes.size(), codes.data(), block.data(),
                                          block.size(), "lz4hc", 0, 1);
    if (stored <= 0)
        return {};
    block.resize(static_cast<std::size_t>(stored));
    std::string out = b.substr(0, 200) + block + b.substr(200 + size);
    const int64_t delta = static_cast<int64_t>(block.size()) - size;
    set32(out, 152, static_cast<uint32_t>(block.size()));
    for (std::size_t field : {164u, 172u, 180u, 188u, 196u})
        if (u32(out, field) != 0)
            set32(out, field, static_cast<uint32_t>(u32(out, field) + delta));
    if (samples != u32(b, 12)) {
        set32(out, 12, samples);
        set32(out, 52, samples - std::min(samples, u32(out, 48)));
        set32(out, 48, samples - u32(out, 52));
    }
    return out;
}

bool reseal(std::string& b)
{
    QuorvelTest::Bytes f{std::vector<uint8_t>(b.begin(), b.end())};
    if (!QuorvelTest::resealCheckValue(f))
        return false;
    b.assign(f.data.begin(), f.data.end());
    return true;
}

std::vector<Variant> finalViewVariants(const std::string& real, uint64_t seed, int count)
{
    Rng rng{seed};
    const uint32_t named = u32(real, 196), trailer = u32(real, 180);
    std::vector<Variant> variants;
    while (static_cast<int>(variants.size()) < count) {
        Variant v{"", real};
        std::string& b = v.bytes;
        bool sealed = false;
        switch (rng.below(8)) {
        case 0:
            v.mutation = "header " + flipBytes(b, rng, 0, 200, 2);
            break;
        case 1:
            v.mutation = "header " + flipBytes(b, rng, 0, 200, 2);
            sealed = true;
            break;
        case 2:
            v.mutation = "sample/motion blocks " + flipBytes(b, rng, 200, named, 4);
            sealed = true;
            break;
        case 3:
            v.mutation = "named blocks, preview, trailer, background " + flipBytes(b, rng, named, b.size(), 4);
            sealed = rng.coin();
            break;
        case 4:
            b.resize(rng.below(b.size()));
            v.mutation = "truncated to " + std::to_string(b.size()) + " of " + std::to_string(real.size()) + " bytes";
            break;
        case 5: {
            const std::vector<uint32_t> fields = {12,  48,  52,  152, 156, 160, 164,  168,       172,       180,
                                                  184, 188, 192, 196, named + 4, named + 8, named + 12, trailer + 518};
            const uint32_t at = rng.pick(fields);
            uint32_t value = rng.pick(kHugeValues);
            if (rng.below(4) == 0)
                value = u32(b, at) + (rng.coin() ? 1u : 0xFFFFFFFFu);
            if (at == named + 8 || at == trailer + 518)
                set16(b, at, static_cast<uint16_t>(value));
            else
                set32(b, at, value);
            sealed = rng.coin();
            v.mutation = "u32 at " + std::to_string(at) + " set to " + hex(value);
            break;
        }
        case 6: {
            // Display sizes and flags the codes must be read against.
            const std::vector<std::array<uint32_t, 3>> displays = {
                {312, 208, 9}, {312, 208, 1}, {24, 16, 9}, {1, 1, 9},     {1, 1, 1},     {65535, 65535, 1},
                {4096, 4096, 1}, {6144, 4096, 9}, {3, 2, 9}, {312, 208, 11}, {312, 208, 13}, {65535, 2, 1}};
            const auto d = rng.pick(displays);
            set16(b, 16, static_cast<uint16_t>(d[0]));
            set16(b, 18, static_cast<uint16_t>(d[1]));
            set32(b, 56, d[2]);
            sealed = true;
            v.mutation = "display " + std::to_string(d[0]) + "x" + std::to_string(d[1]) + ", flags " +
                         std::to_string(d[2]);
            break;
        }
        default: {
            // Codes rewritten: random words, extreme fields, fewer samples.
            std::string what;
            const std::size_t how = rng.below(3);
            b = withSampleCodes(real, [&](std::string& codes, uint32_t& samples) {
                const std::size_t n = codes.size() / 16;
                if (how == 2 && n > 1) {
                    samples = static_cast<uint32_t>(1 + rng.below(n - 1));
                    codes.resize(samples * std::size_t{16});
                    what = "sample codes cut to " + std::to_string(samples);
                    return;
                }
                const std::size_t changed = 1 + rng.below(16);
                for (std::size_t k = 0; k < changed; ++k) {
                    const std::size_t at = 16 * rng.below(n) + 4 * rng.below(4);
                    const uint32_t value = how == 0 ? static_cast<uint32_t>(rng.next())
                                                    : rng.pick(std::vector<uint32_t>{0u, 0xFFFFFFFFu, 0x7FFFFFFFu,
                                                                                     0x80000000u, 0x00FFFFFFu});
                    set32(codes, at, value);
                }
                what = std::to_string(changed) + (how == 0 ? " random" : " extreme") + " code words";
            });
            if (b.empty())
                continue;
            sealed = true;
            v.mutation = what;
            break;
        }
        }
        if (sealed) {
            if (!reseal(b))
                continue;
            v.mutation += ", check value recomputed";
        }
        variants.push_back(std::move(v));
    }
    return variants;
}

// --- Running the tools -------------------------------------------------

struct Run {
    int exitCode = -1;
    int signal = 0;
    bool timedOut = false;
    std::string out, err;
};

// Runs the program with the environment plus TMPDIR, stopping it after
// kTimeoutSeconds. posix_spawn does nothing between fork and exec that
// another of our threads could hold a lock for.
Run runTool(const std::vector<std::string>& arguments, const fs::path& capture, const fs::path& tmpdir)
{
    Run run;
    const std::string outPath = capture.string() + ".out", errPath = capture.string() + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TMPDIR=", 7) != 0)
            environment.emplace_back(*e);
    environment.push_back("TMPDIR=" + tmpdir.string());
    std::vector<char*> envp, argv;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        run.err = "cannot start " + arguments[0];
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!run.timedOut && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    else if (!run.timedOut && WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    run.out = fileBytes(outPath);
    run.err = fileBytes(errPath);
    return run;
}

// The run's messages above INFO and the start of its stderr.
std::string brief(const Run& run)
{
    std::string text;
    std::size_t begin = 0;
    while (begin < run.out.size() && text.size() < 1500) {
        const std::size_t end = std::min(run.out.find('\n', begin), run.out.size());
        const std::string line = run.out.substr(begin, end - begin);
        if (line.find("[INFO]") == std::string::npos && line.find("[DEBUG]") == std::string::npos)
            text += line + "\n";
        begin = end + 1;
    }
    return text + run.err.substr(0, 1500);
}

// --- The suite's readers over what the tools wrote -----------------------

std::string phaseFileFault(const fs::path& path, bool detection)
{
    const std::string bytes = fileBytes(path);
    if (bytes.size() < 20 || bytes.compare(0, 14, "\x82QVLRender=\n$\n") != 0)
        return "not a detection or render file";
    QuorvelTest::PhaseFile f;
    try {
        f = QuorvelTest::readPhaseFile(path.string());
    } catch (const std::exception& e) {
        return std::string("its blocks cannot be followed: ") + e.what();
    }
    if (f.major != 9 || f.minor != 1)
        return "version " + std::to_string(f.major) + "." + std::to_string(f.minor) + ", not 9.1";
    if (!f.consumed)
        return "bytes after the mask block, or the blocks end early";
    if (!f.header["fileCode"].isInt() || (f.header["fileCode"].asInt() + f.digestSum) % 99 != 1)
        return "its file code does not decode to engine 1";
    if (!f.header["sampleNums"].isIntegral() || f.header["sampleNums"].asLargestUInt() != f.samples.size())
        return "\"sampleNums\" is not the number of samples (" + std::to_string(f.samples.size()) + ")";
    if (f.header["rtype"].asBool() != detection)
        return detection ? "not a detection file" : "not a render file";
    if (detection && (!f.header["fillHoleCount"].isIntegral() ||
                      f.header["fillHoleCount"].asLargestUInt() != f.plaques.size()))
        return "\"fillHoleCount\" is not the number of plaques (" + std::to_string(f.plaques.size()) + ")";
    return {};
}

std::string finalViewFault(const fs::path& path)
{
    const QuorvelTest::Bytes f = QuorvelTest::readFile(path);
    const std::size_t size = f.data.size();
    if (size < 200 || std::memcmp(f.data.data(), "\x82QVL=\n$\n", 8) != 0 || f.u16(8) != 4)
        return "no final view header";
    // Sections in order, each directly after the one before.
    uint64_t at = 200;
    for (const std::array<uint32_t, 2> s :
         {std::array<uint32_t, 2>{152, 156}, {160, 164}, {192, 196}, {168, 172}, {176, 180}, {184, 188}}) {
        if (f.u32(s[0]) == 0)
            continue;
        if (f.u32(s[1]) != at)
            return "section at header byte " + std::to_string(s[1]) + " lies off the layout";
        at += f.u32(s[0]);
    }
    if (at != size)
        return "the sections do not end the file";
    if (QuorvelTest::decodedEngine(f) != 1)
        return "its check value does not decode to engine 1";
    std::size_t nbytes = 0;
    if (blosc_cbuffer_validate(f.data.data() + 200, f.u32(152), &nbytes) != 0 ||
        nbytes != static_cast<std::size_t>(f.u32(12)) * 16)
        return "the sample block does not hold 16 bytes per sample";
    if (f.u32(48) + static_cast<uint64_t>(f.u32(52)) != f.u32(12))
        return "opaque and transparent counts do not add up";
    return {};
}

std::string pictureFault(const fs::path& path, unsigned width, unsigned height)
{
    std::vector<unsigned char> rgba;
    unsigned w = 0, h = 0;
    const std::string png = fileBytes(path);
    if (lodepng::decode(rgba, w, h, reinterpret_cast<const unsigned char*>(png.data()), png.size()) != 0)
        return "not a PNG that decodes";
    if (w != width || h != height)
        return "a picture of " + std::to_string(w) + "x" + std::to_string(h) + ", asked for " +
               std::to_string(width) + "x" + std::to_string(height);
    return {};
}

// --- The real files -------------------------------------------------------

// A detection, a render and a final view file of the tiny scene, made once
// per build of the tools (the detection phase takes seconds, tens under the
// sanitizers) in a folder beside this program that later processes reuse.
struct Shot {
    fs::path root, scene, detection, render, finalView;
    bool made = false;
};

std::vector<std::string> hostPhase(const fs::path& scene, int phase, const fs::path& detectPattern,
                                   const fs::path& outDir, const std::string& outName)
{
    return {QUORVEL_HOST_EXECUTABLE,
            "--quiet",
            "--plugin",
            QUORVEL_PLUGIN_LIBRARY,
            "--threads",
            "1",
            "--set",
            "quorvel.phase_mode=" + std::to_string(phase),
            "--set",
            "quorvel.detect_file=\"" + detectPattern.string() + "\"",
            "--set",
            "output.img_dir=\"" + outDir.string() + "\"",
            "--set",
            "output.img_file=\"" + outName + "\"",
            scene.string()};
}

std::string toolStamp()
{
    std::string stamp;
    for (const char* tool : {QUORVEL_HOST_EXECUTABLE, QUORVEL_PLUGIN_LIBRARY, QUORVEL_MERGER_EXECUTABLE,
                             QUORVEL_CORE_LIBRARY}) {
        std::error_code ec;
        stamp += std::to_string(fs::last_write_time(tool, ec).time_since_epoch().count()) + " " +
                 std::to_string(fs::file_size(tool, ec)) + "\n";
    }
    return stamp + QuorvelTest::tinyEndToEndScene(true);
}

bool makeShot(const Shot& s)
{
    fs::remove_all(s.root);
    fs::create_directories(s.root / "render");
    writeFileBytes(s.scene, QuorvelTest::tinyEndToEndScene(true));
    for (const auto& arguments :
         {hostPhase(s.scene, 0, s.root / "detect_#.qvl", s.root, "detect_#.qvl"),
          hostPhase(s.scene, 1, s.root / "detect_#.qvl", s.root / "render", "render_#.qvl"),
          std::vector<std::string>{QUORVEL_MERGER_EXECUTABLE, (s.root / "render").string(), "--output",
                                   (s.root / "final_#.qvl").string(), "-l", "1"}}) {
        const Run run = runTool(arguments, s.root / "run", s.root);
        if (run.exitCode != 0) {
            ADD_FAILURE() << "making the real files: " << arguments[0] << " exit " << run.exitCode << "\n" << brief(run);
            return false;
        }
    }
    return fs::is_regular_file(s.detection) && fs::is_regular_file(s.render) && fs::is_regular_file(s.finalView);
}

const Shot& shot()
{
    static TempDir own;
    static Shot s;
    static bool tried = false;
    if (tried)
        return s;
    tried = true;
    std::error_code ec;
    const fs::path shared = fs::read_symlink("/proc/self/exe", ec).parent_path() / "corruption_battery_shot";
    const int lock = ec ? -1 : ::open((shared.string() + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
    s.root = lock >= 0 && ::flock(lock, LOCK_EX) == 0 ? shared : own.path() / "shot";
    s.scene = s.root / "scene.json";
    s.detection = s.root / "detect_0001.qvl";
    s.render = s.root / "render" / "render_0001.qvl";
    s.finalView = s.root / "final_0001.qvl";
    const std::string stamp = toolStamp();
    s.made = fileBytes(s.root / "tools") == stamp && fs::is_regular_file(s.detection) &&
             fs::is_regular_file(s.render) && fs::is_regular_file(s.finalView);
    if (!s.made) {
        s.made = makeShot(s);
        if (s.made)
            std::ofstream(s.root / "tools", std::ios::binary) << stamp;
    }
    if (lock >= 0)
        ::close(lock);
    return s;
}

// --- The battery -----------------------------------------------------------

// One kind of input: where a variant goes in its folder, the run that reads
// it and the check of each file the run writes.
struct Kind {
    const char* name;
    std::string inputName;
    std::function<std::vector<std::string>(const fs::path& folder, const fs::path& input, std::size_t index)> command;
    std::function<std::string(const fs::path& written, std::size_t index)> checkWritten;
};

const char* const kReports[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                                "runtime error:", "terminate called", "Segmentation fault", "stack smashing"};

void runBattery(const Kind& kind, const std::vector<Variant>& variants)
{
    TempDir dir;
    const auto started = std::chrono::steady_clock::now();
    std::vector<Run> runs(variants.size());
    std::atomic<std::size_t> next{0};
    auto folder = [&](std::size_t i) { return dir.path() / ("v" + std::to_string(i)); };
    auto worker = [&] {
        for (std::size_t i = next++; i < variants.size(); i = next++) {
            const fs::path f = folder(i);
            fs::create_directories(f / "out");
            fs::create_directories(f / "tmp");
            writeFileBytes(f / kind.inputName, variants[i].bytes);
            runs[i] = runTool(kind.command(f, f / kind.inputName, i), dir.path() / ("run" + std::to_string(i)),
                              f / "tmp");
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < kParallelRuns; ++t)
        pool.emplace_back(worker);
    for (auto& t : pool)
        t.join();

    const char* keep = std::getenv("QUORVEL_BATTERY_KEEP");
    int failed = 0, refused = 0;
    for (std::size_t i = 0; i < variants.size(); ++i) {
        const Run& run = runs[i];
        const fs::path input = folder(i) / kind.inputName;
        std::vector<std::string> faults;
        if (run.timedOut)
            faults.push_back("did not end within " + std::to_string(kTimeoutSeconds) + " s");
        if (run.signal != 0)
            faults.push_back("ended by signal " + std::to_string(run.signal) + " (" + strsignal(run.signal) + ")");
        for (const char* report : kReports)
            if (run.err.find(report) != std::string::npos || run.out.find(report) != std::string::npos)
                faults.push_back(std::string("printed \"") + report + "\"");
        if (!run.timedOut && run.signal == 0 && run.exitCode != 0) {
            ++refused;
            std::error_code ec;
            const std::string canonical = fs::weakly_canonical(input, ec).string();
            const std::string all = run.out + run.err;
            if (all.find(input.string()) == std::string::npos && all.find(canonical) == std::string::npos)
                faults.push_back("refused (exit " + std::to_string(run.exitCode) + ") without naming the file");
        }
        for (const auto& entry : fs::recursive_directory_iterator(folder(i))) {
            if (!entry.is_regular_file() || entry.path() == input)
                continue;
            const std::string why = kind.checkWritten(entry.path(), i);
            if (!why.empty())
                faults.push_back("wrote " + fs::relative(entry.path(), folder(i)).string() + ": " + why);
        }
        if (faults.empty())
            continue;
        ++failed;
        std::string text;
        for (const std::string& f : faults)
            text += (text.empty() ? "" : "; ") + f;
        ADD_FAILURE() << kind.name << " variant " << i << " (" << variants[i].mutation << "): " << text
                      << "\n--- output ---\n"
                      << brief(run);
        if (keep) {
            std::error_code ec;
            fs::create_directories(keep, ec);
            writeFileBytes(fs::path(keep) / (std::string(kind.name) + "_" + std::to_string(i) + "_" +
                                              kind.inputName),
                           variants[i].bytes);
        }
    }
    std::printf("%s: %zu variants, %d refused, %d failed, %.1f s on %u parallel runs\n", kind.name,
                variants.size(), refused, failed,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), kParallelRuns);
}

// A written file is one of the kinds the tools write, by its first bytes.
std::string writtenFault(const fs::path& path)
{
    const std::string head = fileBytes(path).substr(0, 8);
    if (head.compare(0, 4, "\x89PNG") == 0)
        return pictureFault(path, 24, 16);
    if (head.compare(0, 5, "\x82QVL=") == 0)
        return finalViewFault(path);
    if (head.compare(0, 8, "\x82QVLRend") == 0)
        return phaseFileFault(path, false);
    return "a file of no kind the tools write (" + std::to_string(fs::file_size(path)) + " bytes)";
}

TEST(CorruptionBattery, DetectionFilesThroughTheRenderPhase)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    const std::string real = fileBytes(s.detection);
    ASSERT_TRUE(phaseFileFault(s.detection, true).empty()) << phaseFileFault(s.detection, true);
    Kind kind{"detection file",
              "detect_0001.qvl",
              [&](const fs::path& folder, const fs::path&, std::size_t) {
                  return hostPhase(s.scene, 1, folder / "detect_#.qvl", folder / "out", "render_#.qvl");
              },
              [](const fs::path& written, std::size_t) { return writtenFault(written); }};
    runBattery(kind, phaseFileVariants(real, 0xD37EC7, variantCount(0.22)));
}

TEST(CorruptionBattery, RenderFilesThroughTheMerger)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    const std::string real = fileBytes(s.render);
    ASSERT_TRUE(phaseFileFault(s.render, false).empty()) << phaseFileFault(s.render, false);
    Kind kind{"render file",
              "render_0001.qvl",
              [](const fs::path& folder, const fs::path&, std::size_t) {
                  return std::vector<std::string>{QUORVEL_MERGER_EXECUTABLE, folder.string(), "--output",
                                                  (folder / "out" / "final_#.qvl").string(), "-l", "1"};
              },
              [](const fs::path& written, std::size_t) { return writtenFault(written); }};
    runBattery(kind, phaseFileVariants(real, 0x4E7DE4, variantCount(0.26)));
}

TEST(CorruptionBattery, FinalViewFilesThroughTheViewer)
{
    const Shot& s = shot();
    ASSERT_TRUE(s.made);
    const std::string real = fileBytes(s.finalView);
    ASSERT_TRUE(finalViewFault(s.finalView).empty()) << finalViewFault(s.finalView);
    // A view from a position that varies with the variant, every fourth a
    // panorama, every seventh the header values only.
    Kind kind{"final view file",
              "final.qvl",
              [](const fs::path& folder, const fs::path& input, std::size_t i) {
                  std::vector<std::string> a = {QUORVEL_VIEW_EXECUTABLE, input.string(), "-o",
                                                (folder / "out" / "view.png").string(), "--size", "24x16",
                                                "--threads", "1"};
                  if (i % 7 == 6)
                      return std::vector<std::string>{QUORVEL_VIEW_EXECUTABLE, input.string(), "--info"};
                  if (i % 4 == 3) {
                      a.push_back("--panorama");
                      return a;
                  }
                  const double x = static_cast<double>(i % 5) / 2 - 1, z = static_cast<double>(i % 3) - 1;
                  a.insert(a.end(), {"--position", std::to_string(x) + ",0," + std::to_string(z), "--yaw",
                                     std::to_string(static_cast<int>(i * 37 % 360)), "--eye",
                                     i % 2 ? "right" : "left"});
                  return a;
              },
              [](const fs::path& written, std::size_t) { return writtenFault(written); }};
    runBattery(kind, finalViewVariants(real, 0xF1A1, variantCount(0.52)));
}

} // namespace
