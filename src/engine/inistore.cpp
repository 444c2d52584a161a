// SPDX-License-Identifier: GPL-3.0-or-later
#include "inistore.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "replacefile.h"

namespace {

std::string Trim(const std::string& Text) {
    const auto first = Text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = Text.find_last_not_of(" \t");
    return Text.substr(first, last - first + 1);
}

bool SameName(const std::string& A, const std::string& B) {
    return A.size() == B.size() && ::strcasecmp(A.c_str(), B.c_str()) == 0;
}

}  // namespace

TIniStore::TIniStore(std::string FileName) : fileName_(std::move(FileName)) {
    Reload();
}

void TIniStore::Reload() {
    std::ifstream in(fileName_, std::ios::binary);
    std::stringstream text;
    if (in) text << in.rdbuf();
    Parse(text.str());
}

void TIniStore::Parse(const std::string& Text) {
    lines_.clear();
    // The file's own line end, as its first line has it, is kept when it is written again.
    const auto firstEnd = Text.find('\n');
    crlf_ = firstEnd != std::string::npos && firstEnd > 0 && Text[firstEnd - 1] == '\r';
    std::string section;
    std::size_t start = 0;
    while (start < Text.size()) {
        auto end = Text.find('\n', start);
        if (end == std::string::npos) end = Text.size();
        Line line;
        line.text = Text.substr(start, end - start);
        while (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        start = end + 1;
        const std::string trimmed = Trim(line.text);
        if (!trimmed.empty() && trimmed.front() == '[') {
            const auto close = trimmed.find(']');
            section =
                Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        } else if (!trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#') {
            const auto eq = line.text.find('=');
            if (eq != std::string::npos && !Trim(line.text.substr(0, eq)).empty()) {
                line.section = section;
                line.key = Trim(line.text.substr(0, eq));
                line.value = line.text.substr(eq + 1);
            }
        }
        lines_.push_back(std::move(line));
    }
}

const TIniStore::Line* TIniStore::Find(const std::string& Section, const std::string& Key) const {
    for (const Line& line : lines_)
        if (!line.key.empty() && SameName(line.section, Section) && SameName(line.key, Key))
            return &line;
    return nullptr;
}

bool TIniStore::HasKey(const std::string& Section, const std::string& Key) const {
    return Find(Section, Key) != nullptr;
}

std::string TIniStore::ReadString(const std::string& Section, const std::string& Key,
                                  const std::string& Default) const {
    const Line* line = Find(Section, Key);
    return line ? line->value : Default;
}

int32_t TIniStore::ReadInteger(const std::string& Section, const std::string& Key,
                               int32_t Default) const {
    const Line* line = Find(Section, Key);
    if (!line) return Default;
    const std::string& text = line->value;
    int base = 10;
    std::size_t from = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        from = 2;
    }
    const char* first = text.data() + from;
    const char* last = text.data() + text.size();
    if (base == 10 && first != last && *first == '+') ++first;
    int64_t value = 0;
    auto [p, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || p != last || first == last) return Default;
    // Hexadecimal texts stand for the 32 bits they spell ("0xFFFFFFFF" is -1).
    if (base == 16 && value >= 0 && value <= 0xFFFFFFFFll)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    if (value < INT32_MIN || value > INT32_MAX) return Default;
    return static_cast<int32_t>(value);
}

void TIniStore::WriteString(const std::string& Section, const std::string& Key,
                            const std::string& Value) {
    // A value is one line: a line break in it would turn the rest into another key.
    std::string value = Value;
    for (char& c : value)
        if (c == '\n' || c == '\r') c = ' ';
    auto found = std::find_if(lines_.begin(), lines_.end(), [&](const Line& line) {
        return !line.key.empty() && SameName(line.section, Section) && SameName(line.key, Key);
    });
    Line line;
    line.section = Section;
    line.key = Key;
    line.value = value;
    line.text = Key + "=" + value;
    if (found != lines_.end()) {
        line.key = found->key;
        line.section = found->section;
        line.text = found->key + "=" + value;
        *found = std::move(line);
    } else {
        // After the last line of the section, or a new section at the end.
        std::size_t insertAt = lines_.size();
        bool inSection = false;
        std::string current;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const std::string trimmed = Trim(lines_[i].text);
            if (!trimmed.empty() && trimmed.front() == '[') {
                const auto close = trimmed.find(']');
                current = Trim(
                    trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
                if (inSection) break;
                inSection = SameName(current, Section);
                if (inSection) insertAt = i + 1;
            } else if (inSection && !trimmed.empty()) {
                insertAt = i + 1;
            }
        }
        if (!inSection) {
            if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back(Line{});
            lines_.push_back(Line{"[" + Section + "]", {}, {}, {}});
            insertAt = lines_.size();
        }
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
    }
    Save();
}

void TIniStore::WriteInteger(const std::string& Section, const std::string& Key, int32_t Value) {
    WriteString(Section, Key, std::to_string(Value));
}

std::string TIniStore::Text() const {
    std::string text;
    const char* end = crlf_ ? "\r\n" : "\n";
    for (const Line& line : lines_) text += line.text + end;
    return text;
}

void TIniStore::Save() const {
    const std::string text = Text();
    try {
        replacefile::Replace(fileName_, [&](int Fd, const std::string&) {
            std::size_t done = 0;
            while (done < text.size()) {
                const ssize_t n = ::write(Fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0)
                    throw std::system_error(n < 0 ? errno : ENOSPC, std::generic_category());
                done += static_cast<std::size_t>(n);
            }
        });
    } catch (const std::system_error& error) {
        throw EIniWriteError("Error writing the settings file " + fileName_ + ": " +
                             std::strerror(error.code().value()));
    }
}
