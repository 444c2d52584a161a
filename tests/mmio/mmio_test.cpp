// SPDX-License-Identifier: GPL-3.0-or-later
#include "mmio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "mmio/memory_device.h"
#include "mmio/riff_builder.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
  public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("sonbar-mmio-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

Bytes readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

FOURCC fcc(const char* s) {
    return mmioStringToFOURCC(s, 0);
}

// Writes RIFF/TEST with an odd chunk "odd " (3 bytes) and "even" (4 bytes).
void writeSample(HMMIO h) {
    MMCKINFO form;
    form.fccType = fcc("TEST");
    ASSERT_EQ(mmioCreateChunk(h, &form, MMIO_CREATERIFF), 0u);
    for (auto [id, n] : {std::pair{"odd ", 3}, std::pair{"even", 4}}) {
        MMCKINFO ck;
        ck.ckid = fcc(id);
        ASSERT_EQ(mmioCreateChunk(h, &ck, 0), 0u);
        Bytes payload = pattern(size_t(n));
        ASSERT_EQ(mmioWrite(h, payload.data(), n), n);
        ASSERT_EQ(mmioAscend(h, &ck, 0), 0u);
        EXPECT_EQ(ck.cksize, uint32_t(n));
    }
    ASSERT_EQ(mmioAscend(h, &form, 0), 0u);
}

Bytes sampleImage() {
    return riff("TEST", chunk("odd ", pattern(3)) + chunk("even", pattern(4)));
}

}  // namespace

TEST(Mmio, StringToFourCCKeepsCaseAndPadsWithBlanks) {
    EXPECT_EQ(mmioStringToFOURCC("data", 0), MakeFourCC('d', 'a', 't', 'a'));
    EXPECT_EQ(mmioStringToFOURCC("fmt", 0), MakeFourCC('f', 'm', 't', ' '));
    EXPECT_EQ(mmioStringToFOURCC("WAVEextra", 0), MakeFourCC('W', 'A', 'V', 'E'));
    EXPECT_EQ(mmioStringToFOURCC("wave", MMIO_TOUPPER), MakeFourCC('W', 'A', 'V', 'E'));
}

// Size patching, little-endian fields and the pad byte of odd chunks, checked against a
// hand-built image; and a file through an I/O procedure must be byte-identical to one by name.
TEST(Mmio, CreatedChunksArePatchedAndPaddedAlikeOnFileAndProcedure) {
    TempDir dir;
    HMMIO h = mmioOpen(dir.file("a.riff").c_str(), nullptr, MMIO_WRITE | MMIO_CREATE);
    ASSERT_NE(h, nullptr);
    writeSample(h);
    ASSERT_EQ(mmioClose(h, 0), 0u);
    EXPECT_EQ(readFile(dir.file("a.riff")), sampleImage());

    for (int32_t buffer : {0, 5}) {
        MemoryDevice device;
        HMMIO m = device.open(MMIO_WRITE | MMIO_CREATE, buffer);
        ASSERT_NE(m, nullptr);
        writeSample(m);
        ASSERT_EQ(mmioClose(m, 0), 0u);
        EXPECT_EQ(device.bytes, sampleImage()) << "buffer " << buffer;
        EXPECT_EQ(device.opens, 1);
        EXPECT_EQ(device.closes, 1);
    }
}

TEST(Mmio, DescendFindsChunksWithinTheParentFromTheCurrentPosition) {
    MemoryDevice device;
    // A chunk "tail" lies after the RIFF form and must not be found inside it.
    device.bytes = riff("TEST", chunk("odd ", pattern(3)) + chunk("even", pattern(4))) +
                   chunk("tail", pattern(2));
    HMMIO h = device.open(MMIO_READ);
    ASSERT_NE(h, nullptr);

    MMCKINFO form;
    form.fccType = fcc("TEST");
    ASSERT_EQ(mmioDescend(h, &form, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(form.ckid, FOURCC_RIFF);
    EXPECT_EQ(form.dwDataOffset, 8u);
    EXPECT_EQ(form.cksize, 4u + 12 + 12);
    EXPECT_EQ(mmioSeek(h, 0, MMIO_SEEK_CUR), 12);

    MMCKINFO ck;
    ck.ckid = fcc("even");
    ASSERT_EQ(mmioDescend(h, &ck, &form, MMIO_FINDCHUNK), 0u);  // skips "odd " and its pad
    EXPECT_EQ(ck.dwDataOffset, 32u);
    EXPECT_EQ(ck.cksize, 4u);
    uint8_t got[4];
    ASSERT_EQ(mmioRead(h, got, 4), 4);
    EXPECT_EQ(Bytes(got, got + 4), pattern(4));

    // The search starts at the current position: "odd " lies behind it now.
    ASSERT_EQ(mmioSeek(h, 12, MMIO_SEEK_SET), 12);
    ASSERT_EQ(mmioDescend(h, &ck, &form, MMIO_FINDCHUNK), 0u);
    ASSERT_EQ(mmioAscend(h, &ck, 0), 0u);
    MMCKINFO odd;
    odd.ckid = fcc("odd ");
    EXPECT_EQ(mmioDescend(h, &odd, &form, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);

    ASSERT_EQ(mmioSeek(h, 12, MMIO_SEEK_SET), 12);
    MMCKINFO tail;
    tail.ckid = fcc("tail");
    EXPECT_EQ(mmioDescend(h, &tail, &form, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    ASSERT_EQ(mmioSeek(h, 12, MMIO_SEEK_SET), 12);
    ASSERT_EQ(mmioDescend(h, &odd, &form, MMIO_FINDCHUNK), 0u);
    ASSERT_EQ(mmioAscend(h, &odd, 0), 0u);
    EXPECT_EQ(mmioSeek(h, 0, MMIO_SEEK_CUR), 24) << "ascend moves past the pad byte";
    EXPECT_EQ(mmioClose(h, 0), 0u);
}

// Layouts that lie must end the search cleanly: no crash, no endless walk, no read outside
// the bytes the device holds.
TEST(Mmio, DescendSurvivesLyingLayouts) {
    Bytes data = chunk("data", pattern(4));
    Bytes manyEmpty;
    for (int i = 0; i < 1000; ++i) manyEmpty = manyEmpty + chunk("zero", {});
    struct Row {
        const char* name;
        Bytes image;
        bool findsData;
    } rows[] = {
        {"plain", riff("WAVE", data), true},
        {"size beyond the file",
         riff("WAVE", chunkWithSize("junk", 0xFFFFFFF0u, pattern(6)) + data), false},
        {"odd size without pad", riff("WAVE", chunk("junk", pattern(3), false) + data), false},
        {"file ends inside a header", riff("WAVE", chunk("junk", pattern(2)) + bytesOf("dat")),
         false},
        {"empty data chunk at the end", riff("WAVE", chunk("data", {})), true},
        {"parent claims less", riff("WAVE", chunk("junk", pattern(8)) + data, 12), false},
        {"parent claims more", riff("WAVE", data, 0xFFFFFFFFll), true},
        {"parent size below its form type", riff("WAVE", data, 2), false},
        {"many empty chunks", riff("WAVE", manyEmpty + data), true},
        {"nothing after the form type", riff("WAVE", {}), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemoryDevice device;
        device.bytes = row.image;
        HMMIO h = device.open(MMIO_READ, 64);
        ASSERT_NE(h, nullptr);
        MMCKINFO form;
        form.fccType = fcc("WAVE");
        MMRESULT found = mmioDescend(h, &form, nullptr, MMIO_FINDRIFF);
        if (found == 0) {
            MMCKINFO ck;
            ck.ckid = fcc("data");
            found = mmioDescend(h, &ck, &form, MMIO_FINDCHUNK);
            if (found == 0) {
                EXPECT_LE(int64_t(ck.dwDataOffset), int64_t(device.bytes.size()));
            }
        }
        EXPECT_EQ(found == 0, row.findsData);
        mmioClose(h, 0);
    }
}

// Buffered reads, writes and seeks in any order must behave like plain file access.
TEST(Mmio, RandomAccessMatchesAPlainByteModel) {
    TempDir dir;
    for (int32_t buffer : {0, 16, 4096}) {
        SCOPED_TRACE(buffer);
        std::mt19937 random(1234 + buffer);
        MemoryDevice device;
        const std::string name = dir.file("random" + std::to_string(buffer));
        MMIOINFO info;
        info.cchBuffer = buffer;
        HMMIO file = mmioOpen(name.c_str(), &info, MMIO_READWRITE | MMIO_CREATE);
        HMMIO proc = device.open(MMIO_READWRITE | MMIO_CREATE, buffer);
        ASSERT_NE(file, nullptr);
        ASSERT_NE(proc, nullptr);
        Bytes model;
        int64_t at = 0;
        for (int step = 0; step < 3000; ++step) {
            int op = int(random() % 3);
            int32_t n = int32_t(random() % (random() % 8 == 0 ? 9000 : 40));
            if (op == 0) {
                Bytes payload = pattern(size_t(n), uint8_t(step));
                for (HMMIO h : {file, proc}) ASSERT_EQ(mmioWrite(h, payload.data(), n), n);
                if (at + n > int64_t(model.size())) model.resize(size_t(at + n));
                std::copy(payload.begin(), payload.end(), model.begin() + at);
                at += n;
            } else if (op == 1) {
                int64_t expect = std::clamp<int64_t>(int64_t(model.size()) - at, 0, n);
                for (HMMIO h : {file, proc}) {
                    Bytes got(size_t(n) + 1);
                    ASSERT_EQ(mmioRead(h, got.data(), n), expect) << "step " << step;
                    ASSERT_TRUE(std::equal(got.begin(), got.begin() + expect, model.begin() + at));
                }
                at += expect;
            } else {
                int64_t target = model.empty() ? 0 : int64_t(random() % model.size());
                int origin = int(random() % 3);
                int64_t offset = origin == MMIO_SEEK_SET   ? target
                                 : origin == MMIO_SEEK_CUR ? target - at
                                                           : target - int64_t(model.size());
                for (HMMIO h : {file, proc}) ASSERT_EQ(mmioSeek(h, offset, origin), target);
                at = target;
            }
        }
        EXPECT_EQ(mmioClose(file, 0), 0u);
        EXPECT_EQ(mmioClose(proc, 0), 0u);
        EXPECT_EQ(readFile(name), model);
        EXPECT_EQ(device.bytes, model);
    }
}

// A stream device cannot stand past its end, yet the handle behaves like a file: the position
// may go there and reads give nothing (a chunk size that overstates the data must not fail).
TEST(Mmio, SeekPastTheEndOfAProcedureDeviceReadsNothing) {
    MemoryDevice device;
    device.bytes = pattern(10);
    HMMIO h = device.open(MMIO_READ);
    ASSERT_EQ(mmioSeek(h, 4, MMIO_SEEK_SET), 4);
    EXPECT_EQ(mmioSeek(h, -5, MMIO_SEEK_CUR), -1);
    EXPECT_EQ(mmioSeek(h, 0, 7), -1);
    EXPECT_EQ(mmioSeek(h, 0, MMIO_SEEK_CUR), 4);
    EXPECT_EQ(mmioSeek(h, -3, MMIO_SEEK_END), 7);
    ASSERT_EQ(mmioSeek(h, 25, MMIO_SEEK_SET), 25);
    uint8_t got[4];
    EXPECT_EQ(mmioRead(h, got, 4), 0);
    ASSERT_EQ(mmioSeek(h, 8, MMIO_SEEK_SET), 8);
    EXPECT_EQ(mmioRead(h, got, 4), 2);
    EXPECT_EQ(got[1], pattern(10)[9]);
    mmioClose(h, 0);
}

TEST(Mmio, OpenFailuresAreReported) {
    TempDir dir;
    MMIOINFO info;
    EXPECT_EQ(mmioOpen(dir.file("missing").c_str(), &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    EXPECT_EQ(mmioOpen(dir.file("no/such/dir").c_str(), nullptr, MMIO_WRITE | MMIO_CREATE),
              nullptr);
    EXPECT_EQ(mmioOpen(nullptr, nullptr, MMIO_READ), nullptr);
}

// A full disk must surface at the latest when the file is closed, never be swallowed.
TEST(Mmio, FullDiskIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    HMMIO h = mmioOpen("/dev/full", nullptr, MMIO_WRITE);
    ASSERT_NE(h, nullptr);
    Bytes payload = pattern(100);
    EXPECT_EQ(mmioWrite(h, payload.data(), 100), 100);  // still in the buffer
    EXPECT_EQ(mmioClose(h, 0), MMIOERR_CANNOTWRITE);

    h = mmioOpen("/dev/full", nullptr, MMIO_WRITE);
    Bytes big = pattern(1 << 17);
    EXPECT_EQ(mmioWrite(h, big.data(), int32_t(big.size())), -1);
    EXPECT_NE(mmioClose(h, 0), 0u);
}

namespace {

// A device of any length that stores only the bytes written to it (the rest reads as a
// pattern of the position): lets a test place chunks gigabytes into a file without writing them.
struct HugeDevice {
    std::map<int64_t, uint8_t> written;
    int64_t length = 0;

    uint8_t at(int64_t position) const {
        auto it = written.find(position);
        return it != written.end() ? it->second : uint8_t(position & 0xFF);
    }
    Bytes head(size_t n) const {
        Bytes out;
        for (size_t i = 0; i < n; ++i) out.push_back(at(int64_t(i)));
        return out;
    }

    static int64_t proc(MMIOINFO* info, uint32_t message, int64_t p1, int64_t p2) {
        auto* d = reinterpret_cast<HugeDevice*>(info->adwInfo[0]);
        int64_t& at = info->lDiskOffset;
        auto* data = reinterpret_cast<uint8_t*>(p1);
        switch (message) {
            case MMIOM_READ: {
                int64_t n = std::clamp<int64_t>(d->length - at, 0, p2);
                for (int64_t i = 0; i < n; ++i) data[i] = d->at(at + i);
                at += n;
                return n;
            }
            case MMIOM_WRITE:
                for (int64_t i = 0; i < p2; ++i) d->written[at + i] = data[i];
                at += p2;
                d->length = std::max(d->length, at);
                return p2;
            case MMIOM_SEEK:
                at = p2 == MMIO_SEEK_SET ? p1 : p2 == MMIO_SEEK_CUR ? at + p1 : d->length + p1;
                return at;
            default:
                return 0;
        }
    }

    HMMIO open(uint32_t flags) {
        MMIOINFO info;
        info.pIOProc = &HugeDevice::proc;
        info.adwInfo[0] = reinterpret_cast<uintptr_t>(this);
        return mmioOpen(nullptr, &info, flags);
    }
};

}  // namespace

TEST(Mmio, ChunksBeyondTwoGigabytesKeepTheirSizesAndPositions) {
    const int64_t threeGiB = int64_t(3) << 30;
    HugeDevice device;
    HMMIO h = device.open(MMIO_WRITE | MMIO_CREATE);
    MMCKINFO form, data;
    form.fccType = fcc("WAVE");
    data.ckid = fcc("data");
    ASSERT_EQ(mmioCreateChunk(h, &form, MMIO_CREATERIFF), 0u);
    ASSERT_EQ(mmioCreateChunk(h, &data, 0), 0u);
    ASSERT_EQ(mmioSeek(h, 20 + threeGiB - 1, MMIO_SEEK_SET), 20 + threeGiB - 1);
    uint8_t last = 0x5A;
    ASSERT_EQ(mmioWrite(h, &last, 1), 1);
    ASSERT_EQ(mmioAscend(h, &data, 0), 0u);
    EXPECT_EQ(data.cksize, uint32_t(threeGiB));
    ASSERT_EQ(mmioAscend(h, &form, 0), 0u);
    EXPECT_EQ(mmioClose(h, 0), 0u);
    EXPECT_EQ(device.length, 20 + threeGiB);
    EXPECT_EQ(device.head(20),
              riff("WAVE", {}, 12 + threeGiB) + chunkWithSize("data", uint32_t(threeGiB), {}));

    h = device.open(MMIO_READ);
    ASSERT_EQ(mmioDescend(h, &form, nullptr, MMIO_FINDRIFF), 0u);
    ASSERT_EQ(mmioDescend(h, &data, &form, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.cksize, uint32_t(threeGiB));
    ASSERT_EQ(mmioSeek(h, threeGiB - 4, MMIO_SEEK_CUR), 20 + threeGiB - 4);
    uint8_t tail[8];
    EXPECT_EQ(mmioRead(h, tail, 8), 4);
    EXPECT_EQ(tail[3], 0x5A);
    EXPECT_EQ(tail[0], uint8_t((20 + threeGiB - 4) & 0xFF));
    mmioClose(h, 0);
}

TEST(Mmio, WritesNeverTakeAFilePastFourGigabytes) {
    HugeDevice device;
    HMMIO h = device.open(MMIO_WRITE | MMIO_CREATE);
    const int64_t limit = MMIO_MAX_FILE_SIZE;
    ASSERT_EQ(mmioSeek(h, limit - 3, MMIO_SEEK_SET), limit - 3);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(mmioWrite(h, bytes, 4), -1);
    EXPECT_EQ(mmioWrite(h, bytes, 3), 3);
    EXPECT_EQ(mmioWrite(h, bytes, 1), -1);
    EXPECT_EQ(mmioClose(h, 0), 0u);
    EXPECT_EQ(device.length, limit);
}

TEST(Mmio, SparseFileOfThreeGigabytesByName) {
    TempDir dir;
    const std::string name = dir.file("big.wav");
    const int64_t threeGiB = int64_t(3) << 30;
    HMMIO h = mmioOpen(name.c_str(), nullptr, MMIO_WRITE | MMIO_CREATE);
    ASSERT_NE(h, nullptr);
    MMCKINFO form, data;
    form.fccType = fcc("WAVE");
    data.ckid = fcc("data");
    ASSERT_EQ(mmioCreateChunk(h, &form, MMIO_CREATERIFF), 0u);
    ASSERT_EQ(mmioCreateChunk(h, &data, 0), 0u);
    ASSERT_EQ(mmioSeek(h, threeGiB, MMIO_SEEK_CUR), 20 + threeGiB);
    uint8_t mark[3] = {7, 8, 9};
    ASSERT_EQ(mmioWrite(h, mark, 3), 3);
    ASSERT_EQ(mmioAscend(h, &data, 0), 0u);  // odd: pads
    ASSERT_EQ(mmioAscend(h, &form, 0), 0u);
    ASSERT_EQ(mmioClose(h, 0), 0u);
    EXPECT_EQ(int64_t(fs::file_size(name)), 20 + threeGiB + 4);

    h = mmioOpen(name.c_str(), nullptr, MMIO_READ);
    ASSERT_EQ(mmioDescend(h, &form, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(form.cksize, uint32_t(12 + threeGiB + 4));
    ASSERT_EQ(mmioDescend(h, &data, &form, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.cksize, uint32_t(threeGiB + 3));
    ASSERT_EQ(mmioSeek(h, threeGiB, MMIO_SEEK_CUR), 20 + threeGiB);
    uint8_t got[3] = {};
    EXPECT_EQ(mmioRead(h, got, 3), 3);
    EXPECT_EQ(Bytes(got, got + 3), Bytes(mark, mark + 3));
    mmioClose(h, 0);
}
