// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "UKoWaveFormat.h"
#include "memstream.h"

namespace {

namespace F = KoWaveFields;

TEST(WaveFormat, SizedConstructionRaisesToRecordSize) {
    struct Case {
        int32_t requested, capacity;
    };
    for (const Case c : {Case{0, 18}, Case{-5, 18}, Case{17, 18}, Case{40, 40}}) {
        SCOPED_TRACE(c.requested);
        TKoWaveFormat format(c.requested);
        EXPECT_EQ(format.Capacity(), c.capacity);
        EXPECT_FALSE(format.IsSpecified());
    }
    // A format made without a buffer refuses every field access instead of touching memory.
    TKoWaveFormat empty;
    EXPECT_EQ(empty.Capacity(), 0);
    EXPECT_THROW(empty.SetChannels(2), EKoError);
    EXPECT_THROW(empty.Data(), EKoError);
    EXPECT_THROW(empty.FormatTag(), EKoError);
}

struct PCMCase {
    const char* name;
    uint32_t rate;
    uint16_t bits, channels;
    uint32_t align, avg;
};

TEST(WaveFormat, PCMDerivedFields) {
    const std::vector<PCMCase> cases = {
        {"cd", 44100, 16, 2, 4, 176400},
        {"bits not a byte multiple", 8000, 12, 1, 1, 8000},
        {"24-bit 5.1", 48000, 24, 6, 18, 864000},
        {"default", 22050, 16, 1, 2, 44100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto format = TKoWaveFormat::CreatePCM(c.rate, c.bits, c.channels);
        EXPECT_EQ(format->KnownFields(), F::Complete) << "complete with its last primary field";
        EXPECT_TRUE(format->IsComplete());
        EXPECT_EQ(format->BlockAlign(), c.align);
        EXPECT_EQ(format->AvgBytesPerSec(), c.avg);
        EXPECT_EQ(format->ExtraSize(), 0u);
        EXPECT_EQ(format->RecordSize(), 18);
    }
    auto fallback = TKoWaveFormat::CreateDefaultPCM();
    EXPECT_EQ(fallback->SamplesPerSec(), 22050u);
    EXPECT_EQ(fallback->BitsPerSample(), 16u);
    EXPECT_EQ(fallback->Channels(), 1u);
}

TEST(WaveFormat, ChangingAFieldForgetsDerivedOnes) {
    auto pcm = TKoWaveFormat::CreatePCM16(44100, 2);
    ASSERT_TRUE(pcm->IsComplete());
    pcm->SetSamplesPerSec(8000);
    EXPECT_EQ(pcm->KnownFields(), F::Complete) << "PCM derives its fields again at once";
    EXPECT_EQ(pcm->AvgBytesPerSec(), 32000u) << "the derived fields follow the new rate";

    // Non-PCM tags never complete by themselves.
    auto other = TKoWaveFormat::CreatePCM16(44100, 2);
    other->SetFormatTag(0x55);
    EXPECT_FALSE(other->IsComplete());
    EXPECT_THROW(other->RecordSize(), EKoError);
    other->MarkComplete();
    EXPECT_TRUE(other->IsComplete());
    other->SetChannels(1);
    EXPECT_FALSE(other->IsComplete());
}

TEST(WaveFormat, FieldsRaiseUntilKnown) {
    TKoWaveFormat format(18);
    EXPECT_FALSE(format.HasFormatTag());
    EXPECT_THROW(format.FormatTag(), EKoError);
    format.SetFormatTag(2);
    EXPECT_TRUE(format.HasFormatTag());
    EXPECT_EQ(format.FormatTag(), 2u);
    EXPECT_THROW(format.Channels(), EKoError);
    EXPECT_THROW(format.SamplesPerSec(), EKoError);
    EXPECT_THROW(format.BitsPerSample(), EKoError);
    EXPECT_THROW(format.ExtraSize(), EKoError);
    EXPECT_THROW(format.BytesForMilliseconds(1000), EKoError);

    auto complete = TKoWaveFormat::CreatePCM16(44100, 2);
    complete->Assign(nullptr);
    EXPECT_FALSE(complete->IsSpecified());
    EXPECT_EQ(complete->Capacity(), 18);
    EXPECT_THROW(complete->SamplesPerSec(), EKoError);
}

TEST(WaveFormat, BytesForMilliseconds) {
    auto format = TKoWaveFormat::CreatePCM16(44100, 2);
    EXPECT_EQ(format->BytesForMilliseconds(1000), 176400);
    EXPECT_EQ(format->BytesForMilliseconds(1), 176);  // truncated
    EXPECT_EQ(format->BytesForMilliseconds(-1), -176);
    // 176,400 x 20,000 does not fit 32 bits; the product must not wrap to nonsense.
    EXPECT_EQ(format->BytesForMilliseconds(20000), 3528000);
    auto fast = TKoWaveFormat::CreatePCM(192000, 32, 8);
    EXPECT_THROW(fast->BytesForMilliseconds(3600000), EKoError);
}

// A complete non-PCM record with the given extra bytes.
std::unique_ptr<TKoWaveFormat> Adpcm(std::vector<uint8_t> extra) {
    auto format = std::make_unique<TKoWaveFormat>(18 + static_cast<int32_t>(extra.size()));
    WAVEFORMATEX* record = format->Data();
    record->wFormatTag = 0x11;
    record->nChannels = 1;
    record->nSamplesPerSec = 8000;
    record->nAvgBytesPerSec = 4055;
    record->nBlockAlign = 256;
    record->wBitsPerSample = 4;
    record->cbSize = static_cast<uint16_t>(extra.size());
    std::copy(extra.begin(), extra.end(), reinterpret_cast<uint8_t*>(record) + 18);
    format->MarkComplete();
    return format;
}

TEST(WaveFormat, SameAs) {
    auto partial = TKoWaveFormat::CreateDefault();
    partial->SetFormatTag(koWaveFormatPCM);
    partial->SetChannels(2);
    partial->SetSamplesPerSec(44100);
    auto completed = TKoWaveFormat::CreatePCM16(44100, 2);
    ASSERT_TRUE(completed->IsComplete());
    // Known-field sets are compared as they stand; PCM completes itself with its last
    // primary field, so that a const format is never written by a query.
    EXPECT_FALSE(partial->SameAs(*completed));
    partial->SetBitsPerSample(16);
    ASSERT_TRUE(partial->IsComplete());
    EXPECT_TRUE(partial->SameAs(*completed));

    struct Case {
        const char* name;
        std::unique_ptr<TKoWaveFormat> a, b;
        bool same;
    };
    std::vector<Case> cases;
    cases.push_back({"same extra", Adpcm({0xF9, 0x01}), Adpcm({0xF9, 0x01}), true});
    cases.push_back({"one extra byte differs", Adpcm({0xF9, 0x01}), Adpcm({0xF9, 0x02}), false});
    cases.push_back({"extra size differs", Adpcm({0xF9}), Adpcm({0xF9, 0x01}), false});
    cases.push_back({"rate differs", TKoWaveFormat::CreatePCM16(44100, 2),
                     TKoWaveFormat::CreatePCM16(48000, 2), false});
    cases.push_back({"nothing known", std::make_unique<TKoWaveFormat>(18),
                     std::make_unique<TKoWaveFormat>(40), true});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.a->SameAs(*c.b), c.same);
        EXPECT_EQ(c.b->SameAs(*c.a), c.same);
    }

    // Partial templates: only the known fields count, whatever else the buffers hold.
    TKoWaveFormat x(18), y(18);
    x.SetFormatTag(0x55);
    y.SetFormatTag(0x55);
    y.Data()->nChannels = 2;
    EXPECT_TRUE(x.SameAs(y));
}

TEST(WaveFormat, AssignAndClone) {
    auto source = Adpcm({1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32});
    TKoWaveFormat small(18);
    small.Assign(source.get());
    EXPECT_EQ(small.Capacity(), source->Capacity());
    EXPECT_TRUE(small.SameAs(*source));

    std::unique_ptr<TKoWaveFormat> copy = KoClone(*source);
    EXPECT_TRUE(copy->SameAs(*source));
    EXPECT_NE(copy->Data(), source->Data());

    TKoWaveFact fact;
    EXPECT_THROW(small.Assign(&fact), EKoConvertError);
    EXPECT_TRUE(small.SameAs(*source)) << "a refused assignment changes nothing";

    TKoWaveFormatList list;
    TKoWaveFormat* item = list.AddCopy(*source);
    EXPECT_NE(item, source.get());
    EXPECT_TRUE(item->SameAs(*source));
    list.AddCopy(*TKoWaveFormat::CreateDefaultPCM());
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Last()->FormatTag(), 1u);
    list.Delete(1);
    EXPECT_EQ(list.Last(), item);
    EXPECT_THROW(list.Delete(1), EKoError);
    EXPECT_THROW(list.Items(1), EKoError);
    list.Delete(0);
    EXPECT_EQ(list.Last(), nullptr);
}

TEST(WaveFormat, WriteTo) {
    auto pcm = TKoWaveFormat::CreatePCM16(44100, 2);
    TVectorStream out;
    ASSERT_TRUE(pcm->WriteTo(out));
    EXPECT_EQ(out.bytes, RecordBytes(1, 2, 44100, 176400, 4, 16, {0, 0}));

    auto adpcm = Adpcm({0xF9, 0x01});
    TVectorStream out2;
    ASSERT_TRUE(adpcm->WriteTo(out2));
    EXPECT_EQ(out2.bytes.size(), 20u);

    TVectorStream full;
    full.limit = 10;
    EXPECT_FALSE(pcm->WriteTo(full));

    TKoWaveFormat partial(18);
    partial.SetFormatTag(0x55);
    TVectorStream unused;
    EXPECT_THROW(partial.WriteTo(unused), EKoError);
}

struct ReadCase {
    const char* name;
    std::vector<uint8_t> bytes;
    int64_t size;
    bool ok;
    int32_t recordSize;  // when ok
    uint32_t extraSize;
};

TEST(WaveFormat, ReadFrom) {
    const auto pcm16 = RecordBytes(1, 2, 44100, 176400, 4, 16);
    const auto adpcm = RecordBytes(0x11, 1, 8000, 4055, 256, 4, {2, 0, 0xF9, 0x01});
    const auto floatNoCb = RecordBytes(3, 2, 48000, 384000, 8, 32);
    const std::vector<ReadCase> cases = {
        {"PCM of 16 bytes", pcm16, 16, true, 18, 0},
        // Any cbSize a PCM chunk carries is ignored: its record is always 18 bytes.
        {"PCM with junk cbSize", RecordBytes(1, 2, 44100, 176400, 4, 16, {0xFF, 0xFF}), 18, true,
         18, 0},
        {"ADPCM with its extra bytes", adpcm, 20, true, 20, 2},
        {"non-PCM of 16 bytes reads cbSize as 0", floatNoCb, 16, true, 18, 0},
        {"chunk longer than the record", RecordBytes(0x11, 1, 8000, 4055, 256, 4, {0, 0, 7, 7}), 20,
         true, 18, 0},
        {"cbSize beyond the chunk", adpcm, 19, false, 0, 0},
        // A chunk cut inside cbSize: the byte that is there still counts.
        {"half a cbSize claiming extra bytes", RecordBytes(0x11, 1, 8000, 4055, 256, 4, {5}), 17,
         false, 0, 0},
        {"half a cbSize of 0", RecordBytes(0x11, 1, 8000, 4055, 256, 4, {0}), 17, true, 18, 0},
        {"cbSize 0xFFFF in an 18-byte chunk",
         RecordBytes(0x55, 2, 44100, 16000, 1, 0, {0xFF, 0xFF}), 18, false, 0, 0},
        {"short read", pcm16, 18, false, 0, 0},
        {"too short for a record", pcm16, 13, false, 0, 0},
        {"negative size", pcm16, -1, false, 0, 0},
        {"huge size", pcm16, int64_t{0xFFFFFFFF}, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TVectorStream in(c.bytes);
        std::unique_ptr<TKoWaveFormat> format = TKoWaveFormat::ReadFrom(in, c.size);
        ASSERT_EQ(format != nullptr, c.ok);
        if (!c.ok) {
            EXPECT_LE(in.requested, static_cast<size_t>(TKoWaveFormat::MaxRecordSize));
            continue;
        }
        EXPECT_TRUE(format->IsComplete());
        EXPECT_EQ(format->RecordSize(), c.recordSize);
        EXPECT_EQ(format->ExtraSize(), c.extraSize);
        EXPECT_LE(format->RecordSize(), format->Capacity());
    }
}

TEST(WaveFormat, ReadWriteRoundTrip) {
    auto adpcm = Adpcm({0xF4, 0x01, 7, 0, 0, 1, 0, 0});
    TVectorStream stream;
    ASSERT_TRUE(adpcm->WriteTo(stream));
    stream.Seek(0, tsFromBeginning);
    auto back = TKoWaveFormat::ReadFrom(stream, static_cast<int64_t>(stream.bytes.size()));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->SameAs(*adpcm));
}

TEST(WaveFormat, MarkCompleteRejectsRecordsLargerThanTheBuffer) {
    TKoWaveFormat format(20);
    WAVEFORMATEX* record = format.Data();
    record->wFormatTag = 0x02;
    record->cbSize = 3;  // 21 bytes claimed, 20 held
    EXPECT_THROW(format.MarkComplete(), EKoError);
    EXPECT_FALSE(format.IsSpecified());
    record->wFormatTag = 1;  // PCM ignores cbSize and clears it
    format.MarkComplete();
    EXPECT_EQ(format.Data()->cbSize, 0);
    EXPECT_EQ(format.RecordSize(), 18);
}

TEST(WaveFact, ReadWrite) {
    TKoWaveFact fact(0x12345678);
    TVectorStream out;
    ASSERT_TRUE(fact.WriteTo(out));
    EXPECT_EQ(out.bytes, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int64_t size;
        bool ok;
        uint32_t count;
    };
    const std::vector<Case> cases = {
        {"four bytes", {0x78, 0x56, 0x34, 0x12}, 4, true, 0x12345678},
        {"beyond 2^31 samples", {0, 0, 0, 0x90}, 4, true, 0x90000000},
        {"longer chunk reads only the count", {1, 0, 0, 0, 9, 9}, 6, true, 1},
        {"size 3", {1, 0, 0, 0}, 3, false, 0},
        {"short read", {1, 0, 0}, 4, false, 0},
        {"stored zero", {0, 0, 0, 0}, 4, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TVectorStream in(c.bytes);
        auto read = TKoWaveFact::ReadFrom(in, c.size);
        ASSERT_EQ(read != nullptr, c.ok);
        if (c.size < 4) {
            EXPECT_EQ(in.requested, 0u);
        } else {
            EXPECT_EQ(in.requested, 4u);
        }
        if (c.ok) {
            EXPECT_EQ(read->SampleCount, c.count);
        }
    }

    TKoWaveFact none;
    TVectorStream unused;
    EXPECT_THROW(none.WriteTo(unused), EKoError);
    none.Assign(&fact);
    EXPECT_EQ(none.SampleCount, 0x12345678u);
    auto clone = KoClone(none);
    EXPECT_EQ(clone->SampleCount, 0x12345678u);
    none.Assign(nullptr);
    EXPECT_FALSE(none.IsValid());
    EXPECT_THROW(none.Assign(TKoWaveFormat::CreateDefaultPCM().get()), EKoConvertError);
}

}  // namespace
