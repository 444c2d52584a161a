// SPDX-License-Identifier: GPL-3.0-or-later
// The INI store and the settings model: what a stored configuration means, and what the
// preferences' OK accepts.
#include "settings.h"

#include <fstream>

#include "engine_util.h"

namespace {

TEST(IniStore, ReadsAsTheWindowsProgramWroteAndRewritesOnlyTheKey) {
    TTempDir dir;
    const std::string file = dir / "Sonbar.ini";
    std::ofstream(file) << "; kept\r\n[options]\r\nsourcedirs=/a/;/b/\r\nEmpty=\r\nHex=0x4\r\n"
                           "Bad=12x\r\nShortHex=0x\r\n[Other]\r\nKey=v\r\n";
    TIniStore ini(file);
    EXPECT_EQ(ini.ReadString("Options", "SourceDirs", "d"), "/a/;/b/");
    EXPECT_EQ(ini.ReadString("Options", "Empty", "d"), "");
    EXPECT_EQ(ini.ReadString("Options", "Missing", "d"), "d");
    EXPECT_EQ(ini.ReadInteger("Options", "Hex", 0), 4);
    EXPECT_EQ(ini.ReadInteger("Options", "Bad", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Options", "ShortHex", 7), 7);

    ini.WriteString("Options", "Empty", "x");
    ini.WriteInteger("Window", "Left", 186);
    const std::string text = Slurp(file);
    EXPECT_EQ(text,
              "; kept\r\n[options]\r\nsourcedirs=/a/;/b/\r\nEmpty=x\r\nHex=0x4\r\n"
              "Bad=12x\r\nShortHex=0x\r\n[Other]\r\nKey=v\r\n\r\n[Window]\r\nLeft=186\r\n");
    EXPECT_EQ(TIniStore(file).ReadInteger("window", "LEFT", 0), 186);
}

TEST(IniStore, AFailedWriteNamesTheFileAndKeepsTheOldOne) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    TTempDir dir;
    const std::string file = dir / "Sonbar.ini";
    std::ofstream(file) << "[Options]\nA=1\n";
    fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    TIniStore ini(file);
    try {
        ini.WriteString("Options", "A", "2");
        FAIL() << "no error";
    } catch (const EIniWriteError& e) {
        EXPECT_NE(std::string(e.what()).find(file), std::string::npos);
    }
    EXPECT_EQ(Slurp(file), "[Options]\nA=1\n");
}

// People keep their settings in a dotfile repository and link them in; a save must write
// through the link and keep the file as private as its owner made it.
TEST(IniStore, SavingWritesThroughALinkAndKeepsTheMode) {
    struct Case {
        const char* name;
        const char* link;  // what the name in the settings folder points to; "" for a file
        mode_t mode;
    };
    const Case cases[] = {
        {"plain file", "", 0600},
        {"absolute link to another folder", "ABS", 0600},
        {"relative link", "../dotfiles/real", 0640},
    };
    for (const Case& c : cases) {
        for (const char* file : {"Sonbar.ini", "Sonbar.tf"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + file);
            TTempDir dir;
            fs::create_directories(dir / "config");
            fs::create_directories(dir / "dotfiles");
            const std::string name = dir / "config/" + file;
            const std::string real = *c.link ? dir / "dotfiles/real" : name;
            std::ofstream(real) << "[Options]\nA=1\n";
            ASSERT_EQ(::chmod(real.c_str(), c.mode), 0);
            if (*c.link) {
                const std::string to = std::string(c.link) == "ABS" ? real : c.link;
                ASSERT_EQ(::symlink(to.c_str(), name.c_str()), 0);
            }

            if (std::string(file) == "Sonbar.ini") {
                TIniStore(name).WriteString("Options", "A", "2");
                EXPECT_EQ(Slurp(real), "[Options]\nA=2\n");
            } else {
                TSettings s;
                const auto pcm = TKoWaveFormat::CreatePCM(22050, 8, 1);
                s.SetTargetFormat(pcm.get());
                ASSERT_EQ(s.SaveTargetFormat(name), "");
                EXPECT_EQ(Slurp(real).substr(0, 4), "RIFF");
            }
            EXPECT_EQ(fs::is_symlink(name), *c.link != '\0');
            struct stat status {};
            ASSERT_EQ(::stat(real.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, c.mode);
            // Nothing is left beside either name.
            EXPECT_EQ(std::distance(fs::directory_iterator(dir / "config"), {}), 1);
            EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dotfiles"), {}), *c.link ? 1 : 0);
        }
    }
}

TEST(Settings, DefaultsOptionBitsAndTheirUnpacking) {
    TTempDir dir;
    TSettings s;
    s.LoadSettings(TIniStore(dir / "Sonbar.ini"), dir / "Sonbar.tf");
    EXPECT_EQ(s.Texts[EditSourceExts], "wav");
    EXPECT_EQ(s.WaitSecondsValue(), 60);
    EXPECT_EQ(s.CopyBufferBytes(), 32 * 1024);
    EXPECT_EQ(s.MinSpaceLeftBytes(), 10 << 20);
    EXPECT_EQ(s.TargetPolicy(), TTargetPolicy::Prompt);
    EXPECT_EQ(s.DirectoryMode(), TDirectoryMode::Classical);
    EXPECT_TRUE(s.Option(RadioDelete) && s.Option(CheckBoxRDirs) && s.Option(CheckBoxTryAgain));
    EXPECT_EQ(s.PackOptions(), "2C6E03");
    EXPECT_EQ(s.FormatTagLabel(), "(none specified)");

    struct Row {
        const char* name;
        const char* bits;
        const char* packed;  // the states afterwards, starting from the defaults
    } rows[] = {
        // Each radio group keeps its last member set: prompt, move, Rebound.
        {"one byte of ones", "FF", "946E03"},
        {"odd length reads the last digit alone", "2C6E0", "2C6E00"},
        {"empty changes nothing", "", "2C6E03"},
        {"a bad pair stops silently", "FFZZ01", "946E03"},
        {"lower case digits", "2c6e03", "2C6E03"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TSettings t;
        t.UnpackOptions("2C6E03");
        t.UnpackOptions(r.bits);
        EXPECT_EQ(t.PackOptions(), r.packed);
    }
}

TEST(Settings, ExtensionChecks) {
    struct Row {
        const char* text;
        const char* message;  // "" when accepted
        std::vector<std::string> extensions;
    } sources[] = {
        {"wav; snd", "", {"wav", "snd"}},
        {" wav ", "", {"wav"}},
        {"wav;", "", {"wav"}},
        {";;wav;  ;", "", {"wav"}},  // empty elements are passed over
        {"", "You must specify at least one source extension !", {}},
        {" ; ", "You must specify at least one source extension !", {}},
        {"*.wav", "At least one of the specified source extensions is invalid !", {}},
        {".wav", "At least one of the specified source extensions is invalid !", {}},
        {"wav;a&b", "At least one of the specified source extensions is invalid !", {"wav"}},
    };
    for (const Row& r : sources) {
        SCOPED_TRACE(r.text);
        TSettings s;
        s.Texts[EditSourceExts] = r.text;
        const auto failure = s.CheckSourceExtensions();
        EXPECT_EQ(failure ? failure->Message : "", r.message);
        EXPECT_EQ(s.SourceExtensions(), r.extensions);
    }
    struct TargetRow {
        const char* text;
        const char* message;
    } targets[] = {
        {"mp3", ""},
        {"m p3", ""},
        {"a&b", ""},
        {"", "You must specify a target extension !"},
        {"mp3.", "The specified target extension is invalid !"},
        {"*", "The specified target extension is invalid !"},
        {"../x", "The specified target extension is invalid !"},
    };
    for (const TargetRow& r : targets) {
        SCOPED_TRACE(r.text);
        TSettings s;
        s.Texts[EditTargetExt] = r.text;
        const auto failure = s.CheckTargetExtension();
        EXPECT_EQ(failure ? failure->Message : "", r.message);
    }
}

TEST(Settings, OkChecksReportTheLastFailure) {
    TTempDir dir;
    struct Row {
        const char* name;
        std::vector<std::pair<TOptionText, std::string>> texts;
        bool move, tryAgain;
        const char* message;
        TSettingsControl control;
    } rows[] = {
        {"later check wins",
         {{EditMoveDir, ""}, {EditBufferSize, "2"}},
         true,
         false,
         "Value must be between 4 and 1024 !",
         TSettingsControl::EditBufferSize},
        {"empty move dir",
         {{EditMoveDir, ""}},
         true,
         false,
         "Please enter a directory path !",
         TSettingsControl::EditMoveDir},
        {"missing move dir",
         {{EditMoveDir, dir / "nope"}},
         true,
         false,
         "Directory is invalid !",
         TSettingsControl::EditMoveDir},
        {"space limit 0", {{EditSpaceLeft, "0"}}, false, false, "", TSettingsControl::None},
        {"space limit 1025",
         {{EditSpaceLeft, "1025"}},
         false,
         false,
         "Value is not valid !",
         TSettingsControl::EditSpaceLeft},
        {"hexadecimal buffer", {{EditBufferSize, "$20"}}, false, false, "", TSettingsControl::None},
        {"seconds unchecked", {{EditSec, "soon"}}, false, false, "", TSettingsControl::None},
        {"seconds checked",
         {{EditSec, "soon"}},
         false,
         true,
         "Value is not valid !",
         TSettingsControl::EditSec},
        {"empty buffer",
         {{EditBufferSize, ""}},
         false,
         false,
         "Please enter a value !",
         TSettingsControl::EditBufferSize},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TSettings s;
        s.Texts[EditTargetExt] = "mp3";
        s.SetOption(r.move ? RadioMove : RadioDelete, true);
        s.SetOption(CheckBoxTryAgain, r.tryAgain);
        for (const auto& [field, text] : r.texts) s.Texts[field] = text;
        const auto failure = s.ValidateForOk();
        EXPECT_EQ(failure ? failure->Message : "", r.message);
        EXPECT_EQ(failure ? failure->Control : TSettingsControl::None, r.control);
    }
}

TEST(Settings, HandEditedValuesAreClampedWhenUsed) {
    struct Row {
        TOptionText field;
        const char* text;
        int64_t value;
    } rows[] = {
        {EditBufferSize, "0", 4 << 10},        {EditBufferSize, "99999", 1024 << 10},
        {EditBufferSize, "x", 1 << 10},        {EditSpaceLeft, "-5", 0},
        {EditSpaceLeft, "5000", 1024ll << 20}, {EditSec, "-3", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        TSettings s;
        s.Texts[r.field] = r.text;
        const int64_t got = r.field == EditBufferSize  ? s.CopyBufferBytes()
                            : r.field == EditSpaceLeft ? s.MinSpaceLeftBytes()
                                                       : s.WaitSecondsValue();
        EXPECT_EQ(got, r.value);
    }
    TSettings s;
    EXPECT_EQ(s.MoveDirectory(), "") << "an empty move directory never becomes /";
    s.Texts[EditMoveDir] = "/tmp/x/../y";
    EXPECT_EQ(s.MoveDirectory(), "/tmp/y/");
    EXPECT_EQ(s.Texts[EditMoveDir], "/tmp/x/../y/");
}

TEST(Settings, DirectoryListsAndTargetFormatRoundTrip) {
    TTempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    TIniStore ini(dir / "Sonbar.ini");
    ini.WriteString("Options", "SourceDirs",
                    dir / "a;" + dir / "gone;//server/share/;" + dir / "b");
    ini.WriteString("Options", "Priority", "0x4");
    TSettings s;
    s.LoadMainSettings(ini, true);
    EXPECT_EQ(s.SourceDirs, (std::vector<std::string>{dir / "a/", dir / "b/"}));
    EXPECT_EQ(s.Priority, 4);

    const std::string tf = dir / "Sonbar.tf";
    const auto pcm = TKoWaveFormat::CreatePCM(22050, 8, 1);
    s.SetTargetFormat(pcm.get());
    EXPECT_EQ(s.SaveTargetFormat(tf), "");
    const std::string bytes = Slurp(tf);
    EXPECT_EQ(bytes.substr(12, 8), std::string("fmt \x12\0\0\0", 8)) << "18-byte PCM record";
    EXPECT_EQ(bytes.find("fact"), std::string::npos);
    TSettings back;
    back.LoadTargetFormat(tf);
    ASSERT_TRUE(back.TargetFormatValid());
    EXPECT_TRUE(back.TargetFormat()->Format().SameAs(*pcm));
    EXPECT_EQ(back.FormatTagLabel(), "PCM");

    std::ofstream(tf) << "garbage";
    back.LoadTargetFormat(tf);
    EXPECT_FALSE(back.TargetFormatValid());
    EXPECT_EQ(back.FormatTagLabel(), "(none specified)");
}

// "Options" "Jobs": a configuration from before the choice runs one job and is saved as it
// was; a value out of range is automatic, as sonbar-cli reads it.
TEST(Settings, JobsLoadAndSave) {
    struct Case {
        const char* name;
        const char* stored;  // nullptr: no key
        int32_t loaded;
        int32_t chosen;
        const char* written;  // nullptr: still no key
    };
    const Case cases[] = {
        {"AbsentKeptAbsent", nullptr, 1, 1, nullptr},
        {"AbsentThenAutomatic", nullptr, 1, 0, "0"},
        {"Automatic", "0", 0, 0, "0"},
        {"Five", "5", 5, 5, "5"},
        {"ExplicitOneKept", "1", 1, 1, "1"},
        {"BackToOne", "5", 5, 1, "1"},
        {"TooMany", "300", 0, 0, "0"},
        {"Negative", "-2", 0, 4, "4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTempDir dir;
        TIniStore ini(dir / "Sonbar.ini");
        if (c.stored) ini.WriteString("Options", "Jobs", c.stored);
        TSettings s;
        s.LoadSettings(ini, dir / "Sonbar.tf");
        EXPECT_EQ(s.Jobs, c.loaded);
        s.Jobs = c.chosen;
        s.SaveSettings(ini, dir / "Sonbar.tf", false);
        TIniStore back(dir / "Sonbar.ini");
        EXPECT_EQ(back.HasKey("Options", "Jobs"), c.written != nullptr);
        if (c.written) {
            EXPECT_EQ(back.ReadString("Options", "Jobs", ""), c.written);
        }
    }
}

TEST(Settings, FolderRule) {
    TTempDir dir;
    fs::create_directories(dir / "prog");
    ::setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
    EXPECT_EQ(SettingsFolder("", dir / "prog/"), dir / "xdg/sonbar/");
    std::ofstream(dir / "prog/Sonbar.ini") << "";
    EXPECT_EQ(SettingsFolder("", dir / "prog/"), dir / "prog/") << "a portable installation";
    EXPECT_EQ(SettingsFolder(dir / "given", dir / "prog/"), dir / "given/");
}

}  // namespace
