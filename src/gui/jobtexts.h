// SPDX-License-Identifier: GPL-3.0-or-later
// The texts the main window shows for the job: the job group's caption, the window title and
// the source label, for the state the job control is in.
#pragma once

#include <string>

#include "jobcontrol.h"

std::string JobStateCaption(TJobState State, int32_t WaitCountdown);
// Figures: the running job's progress (its title while the percentage is known).
std::string JobStateTitle(TJobState State, int32_t WaitCountdown, const TProgressFigures& Figures);
// "SOURCE (1,234 Bytes)", or the bare name while the size is unknown.
std::string JobSourceLabel(const std::string& Source, int64_t Size);
