// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "UKoACM.h"
#include "UKoWaveFormat.h"

namespace {

// Every record a codec may write must fit what the codec manager reports as the largest.
TEST(WaveFormatMaxSize, SizedFromTheCodecManager) {
    const int32_t max = HKoACM::MaxFormatSize();
    EXPECT_GE(max, static_cast<int32_t>(sizeof(WAVEFORMATEXTENSIBLE)));
    EXPECT_EQ(TKoWaveFormat::CreateMaxSize()->Capacity(), max);

    auto format = TKoWaveFormat::CreatePCM16(44100, 2);
    format->EnsureMaxCapacity();
    EXPECT_EQ(format->Capacity(), max);
    EXPECT_TRUE(format->IsComplete()) << "growing the buffer keeps the record";
    EXPECT_EQ(format->SamplesPerSec(), 44100u);
    format->EnsureCapacity(18);
    EXPECT_EQ(format->Capacity(), max) << "never shrinks";
}

}  // namespace
