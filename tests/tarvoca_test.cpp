// tarvoca.exe, the package authors' tool, run as a program on packages made for each case.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "runtime/errors/codepage.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// A package whose TarvoCustomActions rows each have the ProgressText "ID row", followed by `more`.
std::vector<std::wstring> tarvocaPackage(std::vector<ActionRow> rows, const std::vector<std::wstring>& more = {}) {
    for (ActionRow& row : rows) row.text = row.id + L" row";
    return actionTable(rows, more);
}

struct ToolRun {
    std::wstring output;
    DWORD exitCode;
};

ToolRun tarvoca(const std::wstring& arguments) {
    const ProgramRun run = runProgram(programFolder() + L"\\tarvoca.exe", arguments);
    return {wstr(run.output, CP_UTF8), run.exitCode};
}

std::vector<std::wstring> outputLines(const std::wstring& text) {
    std::vector<std::wstring> result;
    std::wistringstream stream(text);
    for (std::wstring line; std::getline(stream, line);) result.push_back(line);
    return result;
}

// The CustomAction and InstallExecuteSequence tables: a row of the first for an action with a type, one of the
// second for an action with a sequence.
struct Scheduled {
    std::wstring action;
    int type, sequence;
    std::wstring source = L"TarvoCA", target = action;
};
std::vector<std::wstring> sequenceTables(const std::vector<Scheduled>& actions,
                                         const std::vector<std::wstring>& more = {}) {
    std::vector<std::wstring> sql = {
        L"CREATE TABLE `CustomAction` (`Action` CHAR(72) NOT NULL, `Type` SHORT NOT NULL, `Source` CHAR(72), "
        L"`Target` CHAR(255) PRIMARY KEY `Action`)",
        L"CREATE TABLE `InstallExecuteSequence` (`Action` CHAR(72) NOT NULL, `Condition` CHAR(255), `Sequence` "
        L"SHORT PRIMARY KEY `Action`)"};
    for (const Scheduled& a : actions) {
        if (a.type)
            sql.push_back(L"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('" + a.action +
                          L"', " + std::to_wstring(a.type) + L", '" + a.source + L"', '" + a.target + L"')");
        if (a.sequence)
            sql.push_back(L"INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('" + a.action + L"', " +
                          std::to_wstring(a.sequence) + L")");
    }
    sql.insert(sql.end(), more.begin(), more.end());
    return sql;
}

}  // namespace

// One problem of each kind in one package: exactly these findings, in this order, and exit code 1.
TEST(Tarvoca, LintReportsEachProblemOfAPackage) {
    const TestPackage package(tarvocaPackage({
        {L"Bad\"Key\\\u00e9", L"1", L"WriteRegistryDword", L"LM,SOFTWARE\\T,V,1", L"", 10, L"1", L"normal"},
        {L"Cond", L"NOT (", L"WriteRegistryDWORD", L"LM,SOFTWARE\\T,V,1", L"", 20, L"1", L"normal"},
        {L"Critical", L"1", L"WriteRegistryDWORD", L"LM,SOFTWARE\\T,V,1", L"", 30, L"", L"normal"},
        {L"Empty", L"", L"WriteRegistryDWORD", L"LM,SOFTWARE\\T,V,1", L"", 40, L"1", L"normal"},
        {L"Fields", L"1", L"FormBINDKey", L"only-one-field", L"", 50, L"1", L"normal"},
        {L"FieldsRef", L"1", L"StartStopService", L"[START_AND_NAME]", L"", 10, L"1", L"precommit"},
        {L"Order", L"1", L"WriteRegistryDWORD", L"LM,SOFTWARE\\T,V,1", L"", 50, L"1", L"normal"},
        {L"Password", L"1", L"FormBINDKey", L"a.conf,b.key -password=[SECRET] --quiet", L"", 10, L"1", L"postinstall"},
        {L"Pre", L"1", L"WriteRegistryDWORD", L"LM,SOFTWARE\\T,V,1", L"", 10, L"1", L"preinstall"},
        {L"Root", L"1", L"WriteRegistryDWORD", L"CU,SOFTWARE\\T,V,1", L"", 20, L"0", L"postinstall"},
        {L"RootRef", L"1", L"WriteRegistryDWORD", L"[ROOT],SOFTWARE\\T,V,1", L"", 30, L"1", L"postinstall"},
        {L"Stage", L"1", L"WriteRegistryDWORD", L"LM,SOFTWARE\\T,V,1", L"", 10, L"1", L"install"}},
        sequenceTables(
            {{L"PrepareTarvoCustomActions", 1, 1002}, {L"GetPassword", 1, 1001}, {L"OnStagePreinstall", 1, 0},
             {L"OnStageNormal", 1025, 1400}, {L"InstallInitialize", 0, 1500},
             {L"SetOnStagePrecommit", 51, 4003, L"OnStagePrecommit", L"[Action_OnStagePrecommit]"},
             {L"OnStagePrecommit", 1025, 4004}, {L"InstallFinalize", 0, 6600}, {L"OnStagePostinstall", 1, 6601}},
            {L"INSERT INTO `Property` (`Property`, `Value`) VALUES ('GET_PASSWORD_PROPERTY', 'DB_PASS')",
             L"INSERT INTO `Property` (`Property`, `Value`) VALUES ('MsiHiddenProperties', 'Action_OnStageNormal;"
             L"Action_OnStagePrecommit;Action_OnStagePostinstall;Action_OnStagePreinstall;OnStageNormal;OnStagePrecommit;"
             L"DB_PASS')"})));
    const struct {
        const wchar_t *where, *code, *fragment;  // "table:key: severity", the rule, a part of the message
    } expected[] = {
        {L"TarvoCustomActions:Bad\"Key\\\u00e9: error", L"unknown-type", L"did you mean WriteRegistryDWORD?"},
        {L"TarvoCustomActions:Cond: error", L"condition-syntax", L"syntax error in the condition"},
        {L"TarvoCustomActions:Critical: error", L"critical-null", L"Critical is null"},
        {L"TarvoCustomActions:Empty: error", L"condition-empty", L"empty condition"},
        {L"TarvoCustomActions:Fields: error", L"field-count", L"Invalid arguments on call FormBINDKeyAction"},
        {L"TarvoCustomActions:FieldsRef: warning", L"field-count",
         L"Invalid arguments on call StartStopServiceAction: the action 'FieldsRef row' needs MODE (true starts),"
         L"SERVICE, but its parameters have 1 field(s) (a field that is only a property reference may bring"},
        {L"TarvoCustomActions:Order: warning", L"order-duplicate", L"Order 50 of stage 'normal' is also the"},
        {L"TarvoCustomActions:Root: error", L"registry-root", L"registry root CU"},
        {L"TarvoCustomActions:RootRef: warning", L"registry-root", L"registry root [ROOT]"},
        {L"TarvoCustomActions:Stage: error", L"stage", L"unknown stage 'install'"},
        {L"InstallExecuteSequence:OnStageNormal: error", L"sequence-type", L"at 1400, outside InstallInitialize"},
        {L"InstallExecuteSequence:OnStageNormal: error", L"custom-action-data", L"to [Action_OnStageNormal]"},
        {L"InstallExecuteSequence:OnStagePrecommit: error", L"sequence-type",
         L"OnStagePrecommit must be a commit action, but its type 1025 makes it a deferred action; mend the built "
         L"package with msibuild PACKAGE.msi -q \"UPDATE `CustomAction` SET `Type`=3585 WHERE "
         L"`Action`='OnStagePrecommit'\""},
        {L"InstallExecuteSequence:OnStagePreinstall: error", L"sequence-missing", L"has rows in stage 'preinstall'"},
        {L"InstallExecuteSequence:OnStageNormalRollback: warning", L"rollback-partner", L"(a rollback action"},
        {L"InstallExecuteSequence:OnStageNormalCommit: warning", L"rollback-partner", L"(a commit action"},
        {L"Property:MsiHiddenProperties: error", L"hidden-property", L"SECRET is not listed: row Password"},
    };

    const ToolRun text = tarvoca(L"lint \"" + package.path() + L"\"");
    EXPECT_EQ(text.exitCode, 1u);
    const std::vector<std::wstring> found = outputLines(text.output);
    ASSERT_EQ(found.size(), std::size(expected)) << text.output;
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& e = expected[i];
        const std::wstring head = package.path() + L":" + e.where + L": ";
        EXPECT_TRUE(found[i].starts_with(head) && found[i].ends_with(L" [" + std::wstring(e.code) + L"]") &&
                    contains(found[i], e.fragment))
            << "line " << i << ": " << cstr(found[i], CP_UTF8);
    }

    // The same findings as one JSON array; keys and paths escaped, everything beyond ASCII as \u escapes.
    const ToolRun json = tarvoca(L"lint \"" + package.path() + L"\" --format json");
    EXPECT_EQ(json.exitCode, 1u);
    const std::vector<std::wstring> objects = outputLines(json.output);
    ASSERT_EQ(objects.size(), std::size(expected) + 2) << json.output;
    EXPECT_EQ(objects.front() + objects.back(), L"[]");
    std::wstring escapedPath;
    for (wchar_t c : package.path()) escapedPath += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    EXPECT_TRUE(objects[1].starts_with(L" {\"file\": \"" + escapedPath + L"\", \"table\": \"TarvoCustomActions\", "
                                       L"\"key\": \"Bad\\\"Key\\\\\\u00e9\", \"severity\": \"error\", "
                                       L"\"code\": \"unknown-type\", \"message\": \"unknown action type "))
        << cstr(objects[1], CP_UTF8);
}

// Each case in a package of its own ("%" in the arguments; without rows a clean one): the exit code and parts
// of the output, each once, or never after a "!" (no parts: no output at all). The command line in any order,
// what an author gets wrong, and stages run for real: the script with the property set on the command line
// (its effect is read back at the end), the stage's messages on the console (a failure's text once), and exit
// code 1 for a failed stage. Nothing waits through retries that cannot help.
TEST(Tarvoca, CommandLinesAuthorMistakesAndStagesRunForReal) {
    const std::wstring notAPackage = tempDirectory() + L"\\notes.msi";
    writeBytes(notAPackage, "not a package\r\n");
    const ScopedTestKey key(L"tarvoca");
    const std::wstring registry = L"LM,SOFTWARE\\T,V,1", copy = L"C:\\a.txt,C:\\b.txt";
    const std::wstring bindFiles = L"C:\\no\\such\\rndc.conf,C:\\no\\such\\rndc.key";
    const std::vector<ActionRow> staged = {
        {L"Mark", L"1", L"WriteRegistryDWORD", L"LM,[TESTKEY],Normal,7", L"", 10, L"1", L"normal"},
        {L"Optional", L"1", L"FormBINDKey", bindFiles, L"", 20, L"0", L"normal"},
        {L"Broken", L"1", L"FormBINDKey", bindFiles, L"", 10, L"1", L"postinstall"}};
    const std::wstring execute = L"dry-run % --set \"TESTKEY=" + key.subkey() + L"\" --execute --stage ";
    const struct {
        std::wstring arguments;
        DWORD exitCode;
        std::vector<std::wstring> output;
        std::vector<ActionRow> rows = {};
    } cases[] = {
        {L"lint % --format json", 0, {L"[]\n"}},
        {L"lint --format=json %", 0, {L"[]\n"}},
        {L"--format=text lint %", 0, {}},
        {L"lint % -- --format", 2, {L"tarvoca: unexpected --format\n"}},
        {L"lint % --format", 2, {L"tarvoca: --format needs a value\n"}},
        {L"lint % --stage normal", 2, {L"tarvoca: lint takes no --stage\n"}},
        {L"dry-run --execute=yes %", 2, {L"tarvoca: --execute takes no value\n"}},
        {L"dry-run --stage=normal --set X=1 %", 0, {L"== Action_OnStageNormal\n<actionslist"}},
        {L"--help", 0, {L"usage: tarvoca lint PACKAGE.msi"}},
        {L"lint", 2, {L"usage: tarvoca lint PACKAGE.msi"}},
        {L"lint \"" + notAPackage + L"\"", 2,
         {L"tarvoca: cannot read " + notAPackage + L" as an installer database: "}},
        {L"dry-run \"" + notAPackage + L".missing\"", 2, {L"tarvoca: cannot read " + notAPackage + L".missing: "}},
        {L"dry-run %", 1, {L"error: Unable to generate post-installation actions list"},
         {{L"Row", L"1", L"WriteRegistryDWORD", registry, L"", 10, L"", L"normal"}}},
        {L"dry-run %", 1,
         {L"error: Row Cond ('Cond row') of stage 'normal': the installer finds a syntax error in its condition "
          L"'AKX == \"1\"'"},
         {{L"Cond", L"AKX == \"1\"", L"WriteRegistryDWORD", registry, L"", 10, L"1", L"normal"}}},
        {L"dry-run %", 1,
         {L"error: Row Copy ('Copy row') of stage 'preinstall', action type 'CopyFiles': Unable create CustomAction "
          L"Provider CopyFiles (did you mean CopyFile?)"},
         {{L"Copy", L"1", L"CopyFiles", copy, L"", 10, L"1", L"preinstall"}}},
        {L"dry-run %", 0,
         {L"warning: Row Copy ('Copy row') of stage 'preinstall', action type 'CopyFiles': Unable create "
          L"CustomAction Provider CopyFiles (did you mean CopyFile?) (the row is not critical"},
         {{L"Copy", L"1", L"CopyFiles", copy, L"", 10, L"0", L"preinstall"}}},
        {L"dry-run %", 1,
         {L"error: Row Ini ('Ini row') of stage 'normal', action type 'FixIniFile': Invalid arguments on call "
          L"FixIniFile: the action 'Ini row' needs FILE,SECTION,KEY,VALUE[,ENABLE], but its parameters have 3 "
          L"field(s) after formatting"},
         {{L"Ini", L"1", L"FixIniFile", L"C:\\php.ini,PHP,extension", L"", 10, L"1", L"normal"}}},
        // A deferred stage reads its script as "CustomActionData"; a non-critical failure leaves it successful.
        {execute + L"normal", 0,
         {L"== Action_OnStageNormal\n<actionslist uilevel=\"2\">",
          L"== OnStageNormal: Reconfiguring installed components\nReconfiguring installed components: "
          L"CustomActionData = <actionslist",
          L"\nAction 'Mark row' finished successfully\n", L"Non-critical action 'Optional row' failed:",
          L"== OnStageNormal returned 0\n", L"!Action_OnStagePostinstall"},
         staged},
        {execute + L"postinstall", 1,
         {L"Critical action 'Broken row' failed:", L"== OnStagePostinstall returned 1603\n"}, staged},
    };
    const TestPackage clean(tarvocaPackage({}));
    for (const auto& c : cases) {
        std::optional<TestPackage> own;
        if (!c.rows.empty()) own.emplace(tarvocaPackage(c.rows));
        std::wstring arguments = c.arguments;
        if (const size_t at = arguments.find(L'%'); at != std::wstring::npos)
            arguments.replace(at, 1, L"\"" + (own ? own->path() : clean.path()) + L"\"");
        const ULONGLONG started = ::GetTickCount64();
        const ToolRun run = tarvoca(arguments);
        const std::string trace = cstr(arguments, CP_UTF8) + ": " + cstr(run.output, CP_UTF8);
        EXPECT_LT(::GetTickCount64() - started, 20000u) << trace;
        EXPECT_EQ(run.exitCode, c.exitCode) << trace;
        EXPECT_EQ(run.output.empty(), c.output.empty()) << trace;
        for (const std::wstring& part : c.output) {
            const bool absent = part.starts_with(L"!");
            EXPECT_EQ(occurrences(run.output, part.substr(absent ? 1 : 0)), absent ? 0u : 1u) << cstr(part) << trace;
        }
    }
    DWORD value = 0;
    EXPECT_TRUE(key.readDword(L"Normal", value, KEY_WOW64_32KEY));
    EXPECT_EQ(value, 7u);
    ::DeleteFileW(notAPackage.c_str());
    ::RemoveDirectoryW(notAPackage.substr(0, notAPackage.find_last_of(L'\\')).c_str());
}
