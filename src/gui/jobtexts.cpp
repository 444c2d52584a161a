// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobtexts.h"

std::string JobStateCaption(TJobState State, int32_t WaitCountdown) {
    switch (State) {
        case jsStopped:
            return "Stopped";
        case jsRecoding:
            return "Recoding ...";
        case jsSuspended:
            return "Suspended";
        case jsWaiting:
            return "Waiting for the next file ... (" + std::to_string(WaitCountdown) + ")";
    }
    return {};
}

std::string JobStateTitle(TJobState State, int32_t WaitCountdown, const TProgressFigures& Figures) {
    switch (State) {
        case jsStopped:
            return "Sonbar  [Stopped]";
        case jsRecoding:
            if (!Figures.HasPercent) return "Sonbar  [Recoding...]";
            if (Figures.Jobs > 1)
                return "Sonbar  [" + std::to_string(Figures.Jobs) + " jobs " + Figures.PercentText +
                       "]";
            return "Sonbar  - " + Figures.Source + " [" + Figures.PercentText + "]";
        case jsSuspended:
            return "Sonbar  [Suspended]";
        case jsWaiting:
            return "Sonbar  [Waiting " + std::to_string(WaitCountdown) + "s]";
    }
    return {};
}

std::string JobSourceLabel(const std::string& Source, int64_t Size) {
    if (Size > 0) return Source + " (" + FormatThousands(Size) + " Bytes)";
    return Source;
}
