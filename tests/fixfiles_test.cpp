// The configuration-file fixers: FixIniFile, FixConfFile and FixTemplateFile, on files the tests write and on
// the real Debian files of the sample package, through real installer sessions.
#include <gtest/gtest.h>

#include "actions/fixfiles.h"

#include <utility>

#include "engine/executor.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/filesystem/replacefile.h"
#include "runtime/holder.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// One row on a file of its own: the file's bytes before, the row's parameters after the file name, and the
// bytes the row must leave. A file left as it was keeps its time stamp too: it is not written at all.
struct Case {
    const char* what;
    std::string before;
    std::wstring parameters;
    std::string after;
};

// The low half of a file's last-write time, after setting it to a day in 2015 when `age`.
DWORD fixedFileTime(const std::wstring& path, bool age = false) {
    const tarvo::unique_file file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME time{0x12345678, 0x01D00000};
    const BOOL done =
        age ? ::SetFileTime(file.get(), nullptr, nullptr, &time) : ::GetFileTime(file.get(), nullptr, nullptr, &time);
    return done ? time.dwLowDateTime : 0;
}

class Fixers : public ::testing::Test {
protected:
    std::wstring file(size_t i) const { return dir + L"\\file" + std::to_wstring(i) + L".conf"; }
    // Runs one row of `type` per case as one stage and compares every file with what the case expects.
    void runTable(const wchar_t* type, const std::vector<Case>& cases) {
        ActionList actions;
        for (size_t i = 0; i < cases.size(); ++i) {
            writeBytes(file(i), cases[i].before);
            fixedFileTime(file(i), true);
            actions.push_back(Action::CreateAction(type, file(i) + L"," + cases[i].parameters, type, true));
        }
        ASSERT_EQ(executeList(session, 5, actions, L"stage"), 0u);
        for (size_t i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(readBytes(file(i)), cases[i].after) << cases[i].what;
            EXPECT_EQ(readBytes(file(i) + L".new"), "<missing>") << cases[i].what;
            EXPECT_TRUE(cases[i].before != cases[i].after || fixedFileTime(file(i)) == 0x12345678u) << cases[i].what;
        }
        EXPECT_TRUE(package.texts(kWarning).empty());
    }
    UINT runRow(const wchar_t* type, const std::wstring& parameters) {
        ActionList actions;
        actions.push_back(Action::CreateAction(type, parameters, type, true));
        return executeList(session, 5, actions, L"stage");
    }

    MsiSession package;
    vmsi session{package.handle()};
    std::wstring dir = tempDirectory();
};

}  // namespace

TEST_F(Fixers, IniLinesAreSwitchedWhereTheyStartALineAndAddedUnderTheirSection) {
    runTable(L"FixIniFile", {
        {"uncomments", "[PHP]\r\n;extension=mbstring\r\nx=1\r\n", L"PHP,extension,mbstring", "[PHP]\r\nextension=mbstring\r\nx=1\r\n"},
        {"comments out", "[s]\r\nport=80\r\n", L"s,port,80,0", "[s]\r\n;port=80\r\n"},
        {"another key ending alike is not the line", "[s]\r\nsslport=8080\r\nport=80\r\n", L"s,port,80,0",
         "[s]\r\nsslport=8080\r\n;port=80\r\n"},
        {"nor does it count as present", "[s]\r\nsslport=8080\r\n", L"s,port,80", "[s]\r\nport=80\r\nsslport=8080\r\n"},
        {"a longer value matches by its prefix", "[e]\n;extension=php_x.dll\n", L"e,extension,php_x", "[e]\nextension=php_x.dll\n"},
        {"blanks and tabs before the line stay", "[s]\n \t;k=v ; note\n", L"s,k,v", "[s]\n \tk=v ; note\n"},
        {"an active line stays", "[PHP]\r\nextension=mbstring\r\n", L"PHP,extension,mbstring",
         "[PHP]\r\nextension=mbstring\r\n"},
        {"the commented line wins over an active one", "[s]\nk=v\n;k=v\n", L"s,k,v", "[s]\nk=v\nk=v\n"},
        {"'; k=v' is a comment, not the commented line", "[s]\n; k=v\n", L"s,k,v", "[s]\nk=v\n; k=v\n"},
        {"blanks around '=' never match", "[s]\nk = v\n", L"s,k,v,0", "[s]\nk = v\n"},
        {"added as the section's first line", "[a]\r\nx=1\r\n[s]\r\ny=2\r\n", L"s,k,v", "[a]\r\nx=1\r\n[s]\r\nk=v\r\ny=2\r\n"},
        {"after a last-line header, with CR LF", "x=1\r\n[s]", L"s,k,v", "x=1\r\n[s]\r\nk=v\r\n"},
        {"after a last-line header, with LF", "x=1\n[s]", L"s,k,v", "x=1\n[s]\nk=v\n"},
        {"a header mentioned in a comment is not the section", "; see [s] below\n[s]\n", L"s,k,v", "; see [s] below\n[s]\nk=v\n"},
        {"'00' enables", "[s]\n", L"s,k,v,00", "[s]\nk=v\n"},
        {"'false' enables", "[s]\n", L"s,k,v,false", "[s]\nk=v\n"},
        {"a line that is not there is not disabled", "[s]\n", L"s,k,v,0", "[s]\n"},
    });
}

TEST_F(Fixers, ConfDirectivesAreCommentedOrReplacedAndEveryOtherLineStays) {
    runTable(L"FixConfFile", {
        {"blanks and a tab are ignored", "  Listen\t80\n", L"Listen,80", "#  Listen\t80\n"},
        {"a commented line stays", "# Listen 80\nx\n", L"Listen,80", "# Listen 80\nx\n"},
        {"case does not matter", "LISTEN 80\n", L"listen,80", "#LISTEN 80\n"},
        {"the value is a prefix", "Listen 8080\nListen 800\nListen 443\n", L"Listen,80",
         "#Listen 8080\n#Listen 800\nListen 443\n"},
        {"a parameter with a blank matches nothing", "Listen 80\n", L"Listen ,80", "Listen 80\n"},
        {"empty lines and LF line ends stay", "\n\nListen 80\n\n\nx\n", L"Listen,80", "\n\n#Listen 80\n\n\nx\n"},
        {"a last line without a line end gets none", "x\nListen 80", L"Listen,80", "x\n#Listen 80"},
        {"every matching line is replaced, keeping its line end", "a\r\nListen 80\r\nb\n Listen 80\n", L"Listen,80,8443",
         "a\r\nListen 8443\r\nb\nListen 8443\n"},
        {"the old value is replaced beside the new one", "Listen 8443\nListen 80\n", L"Listen,80,8443",
         "Listen 8443\nListen 8443\n"},
        {"the new value alone is left", "Listen 8443\n", L"Listen,80,8443", "Listen 8443\n"},
        {"a new value that is a prefix of the old one", "Timeout 300\nListen 8080 # x\n", L"Timeout,300,30",
         "Timeout 30\nListen 8080 # x\n"},
        {"the old value holds the new one as a prefix", "Listen 8080\n", L"Listen,8080,80", "Listen 80\n"},
        {"appended after an empty line, with CR LF", "a\r\n", L"Listen,80,8443", "a\r\n\r\nListen 8443\r\n"},
        {"appended after a last line without a line end", "a\nb", L"Listen,80,8443", "a\nb\n\nListen 8443\n"},
    });
}

// Every byte outside the changed line stays, whatever the encoding; marked UTF-16LE and UTF-8 files, and
// well-formed UTF-8 without a mark, are searched and edited in their own encoding.
TEST_F(Fixers, FilesAreEditedInTheirOwnEncoding) {
    const std::string bom16 = "\xFF\xFE", bom8 = "\xEF\xBB\xBF";
    const std::string oemName = cstr(L"J\u00fcrgen", CP_OEMCP);
    runTable(L"FixIniFile", {
        {"UTF-16LE", bom16 + utf16(L"[s]\r\n;k=v\r\n"), L"s,k,v", bom16 + utf16(L"[s]\r\nk=v\r\n")},
        {"UTF-16LE, added", bom16 + utf16(L"[s]\n"), L"s,name,J\u00fcrgen", bom16 + utf16(L"[s]\nname=J\u00fcrgen\n")},
        {"UTF-8 with a mark", bom8 + "[s]\n;name=J\xC3\xBCrgen\n", L"s,name,J\u00fcrgen", bom8 + "[s]\nname=J\xC3\xBCrgen\n"},
        {"UTF-8 without a mark", "# \xE6\x97\xA5\xE6\x9C\xAC\n[s]\n", L"s,name,J\u00fcrgen",
         "# \xE6\x97\xA5\xE6\x9C\xAC\n[s]\nname=J\xC3\xBCrgen\n"},
        {"the OEM code page", "[s]\n# \xFF\x80\n", L"s,name,J\u00fcrgen", "[s]\nname=" + oemName + "\n# \xFF\x80\n"},
    });
    runTable(L"FixConfFile", {
        {"UTF-8 with a mark", bom8 + "DocumentRoot C:/J\xC3\xBCrgen\n", L"DocumentRoot,C:/J\u00fcrgen",
         bom8 + "#DocumentRoot C:/J\xC3\xBCrgen\n"},
        {"UTF-16LE", bom16 + utf16(L"\n\nListen 80\n"), L"Listen,80,8443", bom16 + utf16(L"\n\nListen 8443\n")},
    });
}

// Only a missing file (a template's too) fails the action. Any other failure, a section that is not there or a
// character the file's code page cannot hold (refused, not written as something else), leaves the file as it
// was and the stage going, with a warning in the installer log whatever the Debug switch.
TEST_F(Fixers, OnlyAMissingFileFailsTheActionOtherFailuresAreWarningsThatLeaveTheFile) {
    ScopedDebugLogging quiet(false);
    const struct {
        const wchar_t* type;
        const wchar_t* name;
        const char* before;  // nullptr: no file
        std::wstring parameters;
        UINT stage;
        std::wstring text;  // in the error message, or the log's line
    } cases[] = {
        {L"FixIniFile", L"\\none.ini", nullptr, L"s,k,v", 1603, L"Cannot fix INI-file: %s\\none.ini. File is not found."},
        {L"FixConfFile", L"\\none.conf", nullptr, L"k,v", 1603, L"Cannot fix Conf-file: %s\\none.conf. File is not found."},
        {L"FixTemplateFile", L"\\none.tpl", nullptr, L"A=1", 1603, L"at Unable open file %s\\none.tpl for reading"},
        {L"FixIniFile", L"\\php.ini", "[PHP]\r\n", L"Date,date.timezone,UTC", 0,
         L"Warning: Cannot fix INI-file: %s\\php.ini. Section is not found: Date"},
        {L"FixIniFile", L"\\plain.ini", "[s]\r\n", L"s,name,\u540d\u524d\u2603", 0, L"cannot represent"},
        {L"FixConfFile", L"\\empty.conf", "", L"\u540d,x,\u2603\u540d", 0, L"at Fix Conf-file(FixConfFile::Commit"},
        {L"FixTemplateFile", L"\\site.tpl", "v=T\r\n", L"T=\u2603", 1603, L"cannot represent"},
    };
    for (const auto& c : cases) {
        package.clearMessages();
        if (c.before) writeBytes(dir + c.name, c.before);
        EXPECT_EQ(runRow(c.type, dir + c.name + L"," + c.parameters), c.stage) << package.log();
        const std::wstring text = formatString(c.text.c_str(), dir);
        const std::wstring shown = c.stage ? package.texts(kError).at(0) : package.log();
        EXPECT_TRUE(contains(shown, text) && contains(shown, c.stage ? L"" : L"finished successfully")) << shown;
        EXPECT_EQ(readBytes(dir + c.name), c.before ? c.before : "<missing>");
        EXPECT_EQ(readBytes(dir + c.name + L".new"), "<missing>");
    }
}

// The new text is complete beside the file before it takes the file's place in one step; when that step
// fails, the file (and a template's target with its ".bak") keeps its old bytes and nothing is left beside it.
namespace {
std::string contentAtSwap, replacementAtSwap;
BOOL WINAPI failingReplace(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR, DWORD, LPVOID, LPVOID) {
    contentAtSwap = readBytes(replaced);
    replacementAtSwap = readBytes(replacement);
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
}  // namespace

TEST_F(Fixers, ARewriteThatFailsLeavesTheOldFileAndNoWorkFile) {
    const auto previous = std::exchange(replacefile_detail::replaceFunction, &failingReplace);
    writeBytes(dir + L"\\a.ini", "[s]\r\n;k=v\r\n");
    writeBytes(dir + L"\\b.conf", "Listen 80\n");
    writeBytes(dir + L"\\site.tpl", "A\n");
    writeBytes(dir + L"\\site.conf", "old\n");
    writeBytes(dir + L"\\site.conf.bak", "older\n");
    ASSERT_EQ(runRow(L"FixIniFile", dir + L"\\a.ini,s,k,v"), 0u);
    EXPECT_EQ(contentAtSwap, "[s]\r\n;k=v\r\n") << "the file was still untouched when the new text took its place";
    EXPECT_EQ(replacementAtSwap, "[s]\r\nk=v\r\n");
    ASSERT_EQ(runRow(L"FixConfFile", dir + L"\\b.conf,Listen,80"), 0u);
    EXPECT_EQ(runRow(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\site.conf,A=1"), 1603u);
    replacefile_detail::replaceFunction = previous;
    EXPECT_EQ(readBytes(dir + L"\\a.ini"), "[s]\r\n;k=v\r\n");
    EXPECT_EQ(readBytes(dir + L"\\b.conf"), "Listen 80\n");
    EXPECT_EQ(readBytes(dir + L"\\site.conf"), "old\n");
    EXPECT_EQ(readBytes(dir + L"\\site.conf.bak"), "older\n");
    for (const wchar_t* work : {L"\\a.ini.new", L"\\b.conf.new", L"\\site.conf.new"})
        EXPECT_EQ(readBytes(dir + work), "<missing>");
    EXPECT_TRUE(contains(package.log(), L"Unable to replace the file '" + dir + L"\\b.conf'")) << package.log();
}

TEST_F(Fixers, TemplatesAreFilledInLineByLine) {
    const std::string longLine = std::string(4090, 'x') + "PORT_TOKEN" + std::string(5000, 'y');
    runTable(L"FixTemplateFile", {
        {"every occurrence", "Listen PORT_TOKEN\r\nPORT_TOKEN-PORT_TOKEN\r\n", L"PORT_TOKEN=8443",
         "Listen 8443\r\n8443-8443\r\n"},
        {"backslashes doubled or turned", "e=P_TOKEN u=U_TOKEN\n", L"Escape(P_TOKEN)=C:\\a\\b,UNIX(U_TOKEN)=C:\\a\\b",
         "e=C:\\\\a\\\\b u=C:/a/b\r\n"},
        {"a value is searched for the placeholders after its own", "A_TOKEN\n", L"A_TOKEN=[B_TOKEN],B_TOKEN=b",
         "[b]\r\n"},
        {"but not for those before it", "B_TOKEN\n", L"B_TOKEN=[A_TOKEN],A_TOKEN=a", "[A_TOKEN]\r\n"},
        {"lower-case escape( is a plain placeholder", "escape(E)\n", L"escape(E)=v", "v\r\n"},
        {"a value keeps its '='", "Q_TOKEN\n", L"Q_TOKEN=a=b", "a=b\r\n"},
        {"a later definition wins", "K\n", L"K=1,K=2", "2\r\n"},
        {"a line of any length", longLine + "\n", L"PORT_TOKEN=8443",
         std::string(4090, 'x') + "8443" + std::string(5000, 'y') + "\r\n"},
        {"a last line without a line end", "a\nb PORT_TOKEN", L"PORT_TOKEN=1", "a\r\nb 1"},
        {"lines between kept whole", "\xEF\xBB\xBF" "a\r\nT\r\nb\r\r\nT c\r\nd", L"T=1",
         "\xEF\xBB\xBF" "a\r\n1\r\nb\r\r\n1 c\r\nd"},
        {"and their line ends made CR LF", "a\r\nb\nT\r\nc\n", L"T=1", "a\r\nb\r\n1\r\nc\r\n"},
        {"UTF-16LE", "\xFF\xFE" + utf16(L"v=T\n"), L"T=J\u00fcrgen", "\xFF\xFE" + utf16(L"v=J\u00fcrgen\r\n")},
    });
}

// The end-to-end installation shows a target's previous file kept as ".bak" and a new target made without one.
TEST_F(Fixers, ATemplateMadeInPlaceKeepsItselfAsBakAndANewTargetLeavesAnOldBakAlone) {
    writeBytes(dir + L"\\site.tpl", "Listen PORT\n");
    writeBytes(dir + L"\\new.conf.bak", "kept\n");
    ASSERT_EQ(runRow(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\new.conf,PORT=80"), 0u);
    EXPECT_EQ(readBytes(dir + L"\\new.conf.bak"), "kept\n") << "a new target has no previous file to keep";
    ASSERT_EQ(runRow(L"FixTemplateFile", dir + L"\\site.tpl,PORT=81"), 0u);
    EXPECT_EQ(readBytes(dir + L"\\site.tpl"), "Listen 81\r\n");
    EXPECT_EQ(readBytes(dir + L"\\site.tpl.bak"), "Listen PORT\n");
    for (const wchar_t* work : {L"\\site.tpl.new", L"\\new.conf.new"}) EXPECT_EQ(readBytes(dir + work), "<missing>");
}

// Wine takes its ANSI and OEM code pages from the locale it is started with: the ctest "codepage.ja_JP" runs
// these under LANG=ja_JP.UTF-8, where both are 932 (Shift-JIS, a multi-byte code page). Left out of the
// ordinary run, whose code pages are single-byte ones.
class JapaneseCodePage : public Fixers {};

TEST_F(JapaneseCodePage, BytesOutsideTheChangedLineSurviveAndShiftJisLinesAreFound) {
    ASSERT_EQ(::GetACP(), 932u);
    ASSERT_EQ(::GetOEMCP(), 932u);
    // UTF-8 comments that a conversion through code page 932 and back would not leave as they were.
    const std::string comments = "; \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x82\xB3\xE3\x83\xA1\xE3\x83\xB3"
                                 "\xE3\x83\x88 \xE2\x91\xA0 \xEF\xBD\xA4\n";
    ASSERT_NE(cstr(wstr(comments, 932), 932), comments);
    const std::string sjisKey = cstr(L"\u540d\u524d", 932), sjisValue = cstr(L"\u5024", 932);
    const std::string sjisComment = "# " + cstr(L"\u30b3\u30e1\u30f3\u30c8\u3067\u3059", 932) + "\r\n";
    runTable(L"FixIniFile", {
        {"UTF-8 comments around the line", comments + "[s]\n;k=v\n" + comments, L"s,k,v", comments + "[s]\nk=v\n" + comments},
        {"a Shift-JIS key", "[s]\r\n;" + sjisKey + "=" + sjisValue + "\r\n", L"s,\u540d\u524d,\u5024",
         "[s]\r\n" + sjisKey + "=" + sjisValue + "\r\n"},
        {"a Shift-JIS line added", "[s]\r\n", L"s,\u540d\u524d,\u5024", "[s]\r\n" + sjisKey + "=" + sjisValue + "\r\n"},
    });
    runTable(L"FixConfFile", {
        {"UTF-8 comments around the line", comments + "Listen 80\n" + comments, L"Listen,80,8443",
         comments + "Listen 8443\n" + comments},
        {"a Shift-JIS value", sjisComment + "Alias " + sjisValue + "\r\n", L"Alias,\u5024", sjisComment + "#Alias " + sjisValue + "\r\n"},
    });
    runTable(L"FixTemplateFile", {
        {"a Shift-JIS template", sjisComment + "Name T\r\n", L"T=\u540d\u524d", sjisComment + "Name " + sjisKey + "\r\n"},
    });
}
