// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: a small INI store. Sections and keys match without regard to letter
// case; a value is the raw text after "=" to the end of the line. Writing a key rewrites the
// whole file atomically and keeps every other line (comments included) as it was.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class EIniWriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TIniStore {
  public:
    // Reads FileName if it exists; a missing or unreadable file reads as empty.
    explicit TIniStore(std::string FileName);

    const std::string& FileName() const { return fileName_; }
    // Reads the file again (another program may have changed it).
    void Reload();

    // Default when the key is missing; "" when it is present and empty.
    std::string ReadString(const std::string& Section, const std::string& Key,
                           const std::string& Default) const;
    // Decimal, or hexadecimal after "0x"/"0X" (more than 2 characters); Default when the
    // key is missing or its text is not an integer.
    int32_t ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const;
    bool HasKey(const std::string& Section, const std::string& Key) const;

    // Raise EIniWriteError naming the file when it cannot be written.
    void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);
    void WriteInteger(const std::string& Section, const std::string& Key, int32_t Value);

    // Parses Text as the file's contents (used by the reader and the fuzz target).
    void Parse(const std::string& Text);
    // The file's contents as they would be written.
    std::string Text() const;

  private:
    struct Line {
        std::string text;     // the line as read, without its line end
        std::string section;  // the section it belongs to (for key lines)
        std::string key;      // empty for anything but a key line
        std::string value;
    };
    const Line* Find(const std::string& Section, const std::string& Key) const;
    void Save() const;

    std::string fileName_;
    std::vector<Line> lines_;
    bool crlf_ = false;
};
