// SPDX-License-Identifier: GPL-3.0-or-later
// Fontconfig keeps its caches until the process ends; LeakSanitizer should not count them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}
