#include "io/QvlRenderFile.h"

#include <blosc.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/FileReplace.h"
#include "foundation/Logger.h"
#include "io/AovColumnsInternal.h"

namespace Quorvel::BinIO::inline v2_0 {

using RenderSample::AOVData;

HashSum::HashSum() : context_(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(context_, EVP_sha256(), nullptr);
}

HashSum::~HashSum()
{
    EVP_MD_CTX_free(context_);
}

void HashSum::update(const void* data, size_t size)
{
    if (size != 0)
        EVP_DigestUpdate(context_, data, size);
}

int HashSum::digestSum()
{
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest_.data(), &length);
    EVP_DigestInit_ex(context_, EVP_sha256(), nullptr);
    int sum = 0;
    for (const uint8_t byte : digest_)
        sum += byte;
    return sum;
}

void packDetectPlaqueInfo(const DetectPlaqueInfo& plaque, uint8_t* out)
{
    const uint32_t bits = static_cast<uint32_t>(plaque.y) | static_cast<uint32_t>(plaque.estimated & 1u) << 16 |
                          static_cast<uint32_t>(plaque.hair & 1u) << 17 |
                          static_cast<uint32_t>(plaque.reserved & 1u) << 18 |
                          static_cast<uint32_t>(plaque.level & 3u) << 19 |
                          static_cast<uint32_t>(plaque.transparent & 1u) << 21;
    out[0] = plaque.cameraIndex;
    std::memcpy(out + 1, &plaque.x, 2);
    out[3] = 0;
    std::memcpy(out + 4, &bits, 4);
    std::memcpy(out + 8, &plaque.depth, 4);
    std::memcpy(out + 12, &plaque.normal, 12);
}

DetectPlaqueInfo unpackDetectPlaqueInfo(const uint8_t* in)
{
    DetectPlaqueInfo plaque;
    uint32_t bits;
    plaque.cameraIndex = in[0];
    std::memcpy(&plaque.x, in + 1, 2);
    std::memcpy(&bits, in + 4, 4);
    plaque.y = static_cast<uint16_t>(bits & 0xFFFFu);
    plaque.estimated = (bits >> 16) & 1u;
    plaque.hair = (bits >> 17) & 1u;
    plaque.reserved = (bits >> 18) & 1u;
    plaque.level = (bits >> 19) & 3u;
    plaque.transparent = (bits >> 21) & 1u;
    std::memcpy(&plaque.depth, in + 8, 4);
    std::memcpy(&plaque.normal, in + 12, 12);
    return plaque;
}

Util::RenderingEngineId getRenderEngineId(const int& fileCode, const int& digestSum)
{
    return static_cast<Util::RenderingEngineId>((fileCode + digestSum) % 99);
}

namespace {

constexpr size_t kBloscBlockSize = 4096;
constexpr int kBloscLevel = 9;
// Deflate cannot expand data more than 1032-fold, so a frame claiming more
// than that per stored byte is corrupt; checked before allocating for it.
constexpr uint64_t kMaxInflateRatio = 1032;
// Slots of AOV types without a column are not backed by file bytes; their
// number is bounded against the decoded data.
constexpr uint64_t kMaxSlotBytesPerDecodedByte = 32;
constexpr uint64_t kSlotAllowance = uint64_t{1} << 20;
// Slots widened per band: well inside a core's L2 cache.
constexpr uint64_t kSlotBandBytes = uint64_t{1} << 18;
// Below this much work one thread beats starting others.
constexpr uint64_t kParallelThreshold = uint64_t{1} << 20;

// Runs task(0 .. count-1) on up to the hardware's threads, tasks taken in
// index order, so callers list the largest first.
template <class Task>
void runTasks(size_t count, uint64_t totalBytes, const Task& task)
{
    size_t threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, count);
    if (totalBytes < kParallelThreshold)
        threads = 1;
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1))
            task(i);
    };
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool)
        thread.join();
}

// Task order for blocks: largest first, so that the longest ones start early.
template <class Size>
std::vector<size_t> largestFirst(size_t count, const Size& size)
{
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return size(a) > size(b); });
    return order;
}

// Decoding hundreds of megabytes into fresh memory costs more in page
// faults, one per 4 KiB page, than the codec's own work; large buffers are
// populated in one call before their first touch. Only an optimisation: where
// the call is missing or refused the pages fault in one by one.
void populate(void* data, size_t size)
{
#ifdef MADV_POPULATE_WRITE
    constexpr uintptr_t kPage = 4096;
    if (size < 64 * kPage)
        return;
    const auto begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kPage - 1);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

// Sizes a result vector, its storage populated before the elements are
// constructed in it.
template <class T>
void resizeLarge(std::vector<T>& v, size_t count)
{
    if (v.capacity() < count) {
        std::vector<T>().swap(v);
        v.reserve(count);
        populate(v.data(), count * sizeof(T));
    }
    v.resize(count);
}

// Uninitialised bytes for a decoder to fill completely.
std::unique_ptr<uint8_t[]> largeBuffer(size_t size)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    populate(buffer.get(), size);
    return buffer;
}

void putU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t getU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// ---- writing ----

struct OutBlock {
    const uint8_t* raw = nullptr;
    uint64_t count = 0;
    size_t elementSize = 1;
    std::vector<uint8_t> owned; // bytes made for this block (packed or compacted)
    std::vector<uint8_t> frame; // Blosc frame; empty when stored raw
    bool written = true;        // false for an AOV type without a column

    uint64_t rawSize() const { return count * elementSize; }
};

void compressBlock(OutBlock& block)
{
    const uint64_t size = block.rawSize();
    if (size == 0 || size > BLOSC_MAX_BUFFERSIZE)
        return;
    block.frame.resize(size / kBloscBlockSize * kBloscBlockSize + kBloscBlockSize);
    const int stored = blosc_compress_ctx(kBloscLevel, BLOSC_SHUFFLE, block.elementSize, size, block.raw,
                                          block.frame.data(), block.frame.size(), "zlib", kBloscBlockSize, 1);
    if (stored <= 0)
        block.frame.clear();
    else
        block.frame.resize(static_cast<size_t>(stored));
}

class NumericLocaleC {
public:
    NumericLocaleC()
    {
        const std::lconv* conv = std::localeconv();
        if (conv && conv->decimal_point && std::strcmp(conv->decimal_point, ".") != 0) {
            saved_ = std::setlocale(LC_NUMERIC, nullptr);
            std::setlocale(LC_NUMERIC, "C");
            switched_ = true;
        }
    }
    ~NumericLocaleC()
    {
        if (switched_)
            std::setlocale(LC_NUMERIC, saved_.c_str());
    }

private:
    std::string saved_;
    bool switched_ = false;
};

std::string compactJson(const Json::Value& value)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
    return writer.write(value);
#pragma GCC diagnostic pop
}


// Writes everything or reports failure; an unchecked short write would
// otherwise leave a truncated file reported as written.
bool writeAll(std::FILE* file, const void* data, size_t size)
{
    return size == 0 || std::fwrite(data, 1, size, file) == size;
}

QvlReaderError writeFailure(const char* format, const std::string& path)
{
    Logger::QvOutputLogString(Logger::ERROR, format, path.c_str());
    return QVL_ERR_OPEN;
}

} // namespace

QvlReaderError qvlWriter_v9(const std::string& path, const header_v09& header, const qvlRenderSample5Aovs_t& content,
                            const Util::RenderingEngineId& engineId)
{
    const NumericLocaleC locale;
    const uint64_t sampleCount = content.samples.size();
    const std::vector<Phase::AOVType>& types = header.AOVTypes;
    const uint64_t aovCount = types.size();
    if (aovCount != 0 && content.aovs.size() / aovCount < sampleCount)
        return writeFailure("[Quorvel] The samples of '%s' have fewer AOV slots than the header lists.\n", path);

    // Blocks in file order: coordinates, plaques, samples, AOV columns, trailing.
    std::vector<OutBlock> blocks(4 + aovCount);
    OutBlock& coordinates = blocks[0];
    coordinates.raw = reinterpret_cast<const uint8_t*>(content.coordinates.data());
    coordinates.count = content.coordinates.size();
    coordinates.elementSize = sizeof(coordinates_t);
    OutBlock& plaques = blocks[1];
    plaques.count = content.plaques.size();
    plaques.elementSize = kPackedPlaqueSize;
    OutBlock& samples = blocks[2];
    samples.raw = reinterpret_cast<const uint8_t*>(content.samples.data());
    samples.count = sampleCount;
    samples.elementSize = sizeof(qvlRenderSample5_t);
    OutBlock& trailing = blocks.back();
    trailing.raw = content.trailing.data();
    trailing.count = content.trailing.size();
    for (const OutBlock& block : blocks)
        if (block.count > UINT32_MAX)
            return writeFailure("[Quorvel] Too many records for one block of '%s'.\n", path);

    // Packing and compaction, one task per block that needs it.
    runTasks(aovCount + 1, (plaques.count * 28 + sampleCount * aovCount * 16), [&](size_t task) {
        if (task == aovCount) {
            plaques.owned.resize(plaques.count * kPackedPlaqueSize);
            for (uint64_t i = 0; i < plaques.count; ++i)
                packDetectPlaqueInfo(content.plaques[i], plaques.owned.data() + i * kPackedPlaqueSize);
            plaques.raw = plaques.owned.data();
            return;
        }
        OutBlock& column = blocks[3 + task];
        column.elementSize = compactElementSize(types[task]);
        column.written = column.elementSize != 0;
        if (!column.written || sampleCount == 0)
            return;
        compactColumn(types[task], content.aovs.data() + task, sampleCount, aovCount, column.owned);
        column.raw = column.owned.data();
        column.count = sampleCount;
    });

    // Digest and compression read the same bytes; they run side by side.
    int digestSum = 0;
    int randomPart = 0;
    uint64_t totalBytes = 0;
    for (const OutBlock& block : blocks)
        totalBytes += block.rawSize();
    const std::vector<size_t> order = largestFirst(blocks.size(), [&](size_t i) { return blocks[i].rawSize(); });
    runTasks(blocks.size() + 1, totalBytes, [&](size_t task) {
        if (task == 0) {
            HashSum hash;
            for (const OutBlock& block : blocks)
                hash.update(block.raw, block.rawSize());
            digestSum = hash.digestSum();
            // The random part only has to lie in 0..99; taking it from the
            // digest makes the same content give the same file.
            randomPart = hash.digest()[0] % 100;
            return;
        }
        compressBlock(blocks[order[task - 1]]);
    });

    Json::Value json = QVLRender_header(header).json();
    json["fileCode"] = randomPart * 99 + static_cast<int>(engineId) - digestSum % 99 + 99;
    const std::string text = compactJson(json);

    std::vector<uint8_t> head(kQvlSignature.begin(), kQvlSignature.end());
    head.push_back(9);
    head.push_back(1);
    putU32(head, static_cast<uint32_t>(text.size()));
    head.insert(head.end(), text.begin(), text.end());

    const std::string temporary = Utils::UniqueTemporaryPath(path);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return writeFailure("[Quorvel] Cannot create the file '%s'.\n", path);
    bool ok = writeAll(file, head.data(), head.size());
    for (const OutBlock& block : blocks) {
        if (!ok)
            break;
        if (!block.written)
            continue;
        const bool raw = block.frame.empty();
        std::vector<uint8_t> words;
        putU32(words, static_cast<uint32_t>(block.count));
        putU32(words, raw ? 0u : static_cast<uint32_t>(block.frame.size()));
        ok = writeAll(file, words.data(), words.size()) &&
             (raw ? writeAll(file, block.raw, block.rawSize()) : writeAll(file, block.frame.data(), block.frame.size()));
    }
    ok = std::fflush(file) == 0 && ok && !std::ferror(file);
    ok = std::fclose(file) == 0 && ok;
    std::error_code error;
    if (ok) {
        std::filesystem::rename(temporary, path, error);
        ok = !error;
    }
    if (!ok) {
        std::filesystem::remove(temporary, error);
        return writeFailure("[Quorvel] Writing the file '%s' failed.\n", path);
    }
    return QVL_OK;
}

// ---- reading ----

namespace {

struct InBlock {
    uint64_t count = 0;
    size_t elementSize = 1;
    const uint8_t* stored = nullptr; // raw bytes or Blosc frame in the file image
    uint32_t storedSize = 0;         // 0: raw
    uint8_t* destination = nullptr;  // where the decoded bytes go; null: a buffer of its own
    std::unique_ptr<uint8_t[]> buffer;
    const uint8_t* decoded = nullptr; // the block's bytes once decoded

    uint64_t rawSize() const { return count * elementSize; }
};

// Bounds-checked walk over the block sequence of a file image.
class BlockCursor {
public:
    BlockCursor(const uint8_t* data, size_t size) : data_(data), end_(data + size) {}

    bool next(InBlock& block, size_t elementSize)
    {
        block.elementSize = elementSize;
        if (static_cast<size_t>(end_ - data_) < 8)
            return false;
        block.count = getU32(data_);
        block.storedSize = getU32(data_ + 4);
        data_ += 8;
        if (block.count == 0)
            return block.storedSize == 0;
        const uint64_t raw = block.rawSize();
        const size_t left = static_cast<size_t>(end_ - data_);
        block.stored = data_;
        if (block.storedSize == 0) {
            if (raw > left)
                return false;
            data_ += raw;
            return true;
        }
        if (block.storedSize > left)
            return false;
        size_t frameBytes = 0;
        if (blosc_cbuffer_validate(data_, block.storedSize, &frameBytes) != 0 || frameBytes != raw ||
            raw / kMaxInflateRatio > block.storedSize)
            return false;
        data_ += block.storedSize;
        return true;
    }

private:
    const uint8_t* data_;
    const uint8_t* end_;
};

bool decodeBlock(InBlock& block)
{
    const uint64_t raw = block.rawSize();
    if (raw == 0)
        return true;
    if (block.storedSize == 0) {
        if (block.destination)
            std::memcpy(block.destination, block.stored, raw);
        block.decoded = block.destination ? block.destination : block.stored;
        return true;
    }
    uint8_t* out = block.destination;
    if (!out) {
        block.buffer = largeBuffer(raw);
        out = block.buffer.get();
    }
    block.decoded = out;
    return blosc_decompress_ctx(block.stored, out, raw, 1) == static_cast<int>(raw);
}

// Feeds the decoded blocks to the digest in file order, each as soon as it
// is ready, while later blocks are still being decoded.
class OrderedDigest {
public:
    OrderedDigest(const std::vector<InBlock>& blocks, const std::vector<size_t>& fileOrder, HashSum& hash)
        : blocks_(blocks), order_(fileOrder), ready_(blocks.size()), hash_(hash)
    {
    }

    void markReady(size_t block)
    {
        ready_[block].test_and_set();
        ready_[block].notify_one();
    }

    void run()
    {
        for (const size_t b : order_) {
            ready_[b].wait(false);
            if (blocks_[b].decoded) // else its read failed
                hash_.update(blocks_[b].decoded, blocks_[b].rawSize());
        }
    }

private:
    const std::vector<InBlock>& blocks_;
    const std::vector<size_t>& order_;
    std::vector<std::atomic_flag> ready_;
    HashSum& hash_;
};

// Decodes the blocks of a file image. The coordinate and plaque blocks are
// read only when asked for (the full readers); the rest always.
template <class Sample>
QvlReaderError decodeBlocks(const uint8_t* data, size_t size, const header_v07& header, bool withCoordinates,
                            bool withPlaques, qvlRenderSampleAovs<Sample>& content, HashSum& hash)
{
    const std::vector<Phase::AOVType>& types = header.AOVTypes;
    const uint64_t aovCount = types.size();
    enum { kCoordinates, kPlaques, kSamples, kTrailing, kColumns };
    std::vector<InBlock> blocks(kColumns + aovCount);

    BlockCursor cursor(data, size);
    if (withCoordinates && !cursor.next(blocks[kCoordinates], sizeof(coordinates_t)))
        return QVL_ERR_BLOCK_SIZE;
    if (withPlaques && !cursor.next(blocks[kPlaques], kPackedPlaqueSize))
        return QVL_ERR_BLOCK_SIZE;
    if (!cursor.next(blocks[kSamples], sizeof(Sample)))
        return QVL_ERR_BLOCK_SIZE;
    const uint64_t sampleCount = blocks[kSamples].count;
    for (uint64_t j = 0; j < aovCount; ++j) {
        const uint64_t element = compactElementSize(types[j]);
        if (element == 0)
            continue;
        InBlock& column = blocks[kColumns + j];
        // A column longer or shorter than the samples would put values in
        // slots that do not exist.
        if (!cursor.next(column, element) || column.count != sampleCount)
            return QVL_ERR_BLOCK_SIZE;
    }
    if (!cursor.next(blocks[kTrailing], 1))
        return QVL_ERR_BLOCK_SIZE;

    uint64_t decodedBytes = 0;
    for (const InBlock& block : blocks)
        decodedBytes += block.rawSize();
    if (aovCount != 0 && sampleCount > (kSlotAllowance + decodedBytes * kMaxSlotBytesPerDecodedByte) /
                                           sizeof(AOVData) / aovCount)
        return QVL_ERR_BLOCK_SIZE;

    // Every size is now backed by the file. Each task sizes its part of the
    // result, so that populating the memory is shared out too, and the blocks
    // that are stored as they are held decode straight into it.
    std::vector<size_t> fileOrder = {kCoordinates, kPlaques, kSamples};
    for (uint64_t j = 0; j < aovCount; ++j)
        fileOrder.push_back(kColumns + j);
    fileOrder.push_back(kTrailing);
    OrderedDigest digest(blocks, fileOrder, hash);
    std::atomic<bool> failed{false};
    auto prepare = [&](size_t b) {
        InBlock& block = blocks[b];
        switch (b) {
        case kCoordinates:
            if (withCoordinates)
                resizeLarge(content.coordinates, block.count);
            block.destination = reinterpret_cast<uint8_t*>(content.coordinates.data());
            break;
        case kPlaques:
            if (withPlaques)
                resizeLarge(content.plaques, block.count);
            break;
        case kSamples:
            resizeLarge(content.samples, block.count);
            block.destination = reinterpret_cast<uint8_t*>(content.samples.data());
            break;
        case kTrailing:
            resizeLarge(content.trailing, block.count);
            block.destination = content.trailing.data();
            break;
        default: break;
        }
    };
    // Sizing the result allocates on a worker thread: running out of memory
    // there fails the read instead of ending the process.
    auto work = [&](size_t b) {
        InBlock& block = blocks[b];
        try {
            prepare(b);
            if (!decodeBlock(block))
                failed = true;
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        digest.markReady(b);
        if (failed || block.count == 0 || b != kPlaques)
            return;
        for (uint64_t i = 0; i < block.count; ++i)
            content.plaques[i] = unpackDetectPlaqueInfo(block.decoded + i * kPackedPlaqueSize);
    };
    // The largest allocation, the slots, is one task of its own beside the
    // blocks; the tasks run largest first.
    const uint64_t slotBytes = sampleCount * aovCount * sizeof(AOVData);
    const std::vector<size_t> order = largestFirst(blocks.size(), [&](size_t i) { return blocks[i].rawSize(); });
    auto task = [&](size_t t) {
        if (t == 0) {
            try {
                content.aovs.clear();
                resizeLarge(content.aovs, sampleCount * aovCount);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
        } else {
            work(order[t - 1]);
        }
    };
    // The columns widen into the sample-major slots a band of samples at a
    // time, all columns of a band while its slots are still in cache: one
    // pass over the slots instead of one per column.
    const uint64_t bandRows = std::max<uint64_t>(1, kSlotBandBytes / sizeof(AOVData) / std::max<uint64_t>(1, aovCount));
    const uint64_t bands = aovCount == 0 ? 0 : (sampleCount + bandRows - 1) / bandRows;
    auto widenBand = [&](size_t band) {
        const uint64_t first = band * bandRows;
        const uint64_t rows = std::min(bandRows, sampleCount - first);
        for (uint64_t j = 0; j < aovCount; ++j) {
            const InBlock& column = blocks[kColumns + j];
            if (column.count != 0)
                decompactColumn(types[j], column.decoded + first * column.elementSize, rows,
                                content.aovs.data() + first * aovCount + j, aovCount);
        }
    };
    if (decodedBytes + slotBytes < kParallelThreshold) {
        for (size_t t = 0; t <= order.size(); ++t)
            task(t);
        digest.run();
        if (!failed)
            for (size_t band = 0; band < bands; ++band)
                widenBand(band);
    } else {
        std::thread digestThread([&] { digest.run(); });
        runTasks(order.size() + 1, decodedBytes + slotBytes, task);
        if (!failed)
            runTasks(bands, slotBytes, widenBand);
        digestThread.join();
    }
    return failed ? QVL_ERR_BLOCK_SIZE : QVL_OK;
}

struct FileImage {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
};

// The bytes of `file` from its current position to its end; false when they
// cannot be read.
bool readRest(std::FILE* file, FileImage& out)
{
    const long start = std::ftell(file);
    if (start < 0 || std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long end = std::ftell(file);
    if (end < start || std::fseek(file, start, SEEK_SET) != 0)
        return false;
    out.size = static_cast<size_t>(end - start);
    out.data = largeBuffer(out.size);
    return out.size == 0 || std::fread(out.data.get(), 1, out.size, file) == out.size;
}

template <class Sample>
QvlReaderError readFile(const std::string& path, header_v09& header, qvlRenderSampleAovs<Sample>& content,
                        int& digestSum, bool withPlaques)
{
    const QVLRender_header fileHeader(path);
    if (fileHeader.readError() != QVL_OK)
        return fileHeader.readError();
    if (const QvlReaderError e = fileHeader.getHeaderData(header); e != QVL_OK)
        return e;

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return QVL_ERR_OPEN;
    FileImage image;
    if (std::fseek(file.get(), 20 + static_cast<long>(fileHeader.jsonLength()), SEEK_SET) != 0 ||
        !readRest(file.get(), image))
        return QVL_ERR_BLOCK_SIZE;
    HashSum hash;
    const QvlReaderError e = decodeBlocks(image.data.get(), image.size, header, true, withPlaques, content, hash);
    if (e != QVL_OK)
        return e;
    digestSum = hash.digestSum();
    return QVL_OK;
}

template <class Sample>
QvlReaderError readSamplesAndAovs(std::FILE* file, const header_v07& header, qvlRenderSampleAovs<Sample>& content,
                                  HashSum& hash)
{
    FileImage image;
    if (!file || !readRest(file, image))
        return QVL_ERR_BLOCK_SIZE;
    return decodeBlocks(image.data.get(), image.size, header, false, false, content, hash);
}

} // namespace

QvlReaderError qvlReader_v9(const std::string& path, header_v09& header, qvlRenderSample5Aovs_t& content,
                            int& digestSum)
{
    return readFile(path, header, content, digestSum, true);
}

QvlReaderError qvlReader_v8(const std::string& path, header_v09& header, qvlRenderSample4Aovs_t& content,
                            int& digestSum)
{
    return readFile(path, header, content, digestSum, true);
}

QvlReaderError qvlReader_v7(const std::string& path, header_v09& header, qvlRenderSample4Aovs_t& content,
                            int& digestSum)
{
    return readFile(path, header, content, digestSum, false);
}

QvlReaderError ReadSamplesAndAOV(std::FILE* file, const header_v07& header, qvlRenderSample5Aovs_t& content,
                                 HashSum& hash)
{
    return readSamplesAndAovs(file, header, content, hash);
}

QvlReaderError ReadSamplesAndAOV(std::FILE* file, const header_v07& header, qvlRenderSample4Aovs_t& content,
                                 HashSum& hash)
{
    return readSamplesAndAovs(file, header, content, hash);
}

} // namespace Quorvel::BinIO::inline v2_0
