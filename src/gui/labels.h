// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers the main window's parts share for their captions, values and sizes.
#pragma once

#include <QLabel>
#include <algorithm>

// Sizes are laid out for a 13-pixel line; larger fonts and scaling grow them in proportion.
inline double FontFactor(const QWidget* W) {
    return std::max(1.0, W->fontMetrics().height() / 13.0);
}

inline QLabel* Caption(const char* Text) {
    return new QLabel(Text);
}

inline QLabel* Value(const char* Name, const char* Text = "") {
    auto* label = new QLabel(Text);
    label->setObjectName(Name);
    return label;
}
