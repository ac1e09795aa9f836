// rwquery: answers an administrator's questions about the security mappings of a configuration, from
// the roles maintainer's own transformers.
//
//     rwquery explain <tree file> <host file> <subject> [--json]
//     rwquery holders <tree file> <host file> <tag> [--json]
//     rwquery diff <tree file A> <tree file B> <host file> [--json]
//     rwquery check <tree file> <host file> [--json]
//     rwquery log <log file> [--severity S] [--thread N] [--grep TEXT] [--json]
//
// The tree file and the host file are rwhost's (the node store's text form). Exit codes: 0 with an
// answer, 1 when nothing was found (check: when something was), 2 on bad input, with one line on stderr
// naming the file, the place and the reason.
#include "Common/StringHelpers.h"
#include "LogFilter.h"
#include "QueryOutput.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage =
    "usage: rwquery explain <tree file> <host file> <subject> [--json]\n"
    "       rwquery holders <tree file> <host file> <tag> [--json]\n"
    "       rwquery diff <tree file A> <tree file B> <host file> [--json]\n"
    "       rwquery check <tree file> <host file> [--json]\n"
    "       rwquery log <log file> [--severity S] [--thread N] [--grep TEXT] [--json]\n"
    "\n"
    "explain   every tag in the subject's user roles entry, each with the role assignments that put it\n"
    "          there: the assignment's path, the role id as written, and the object whose name filled\n"
    "          the tag's parameter (path and type), or \"assigned at the root\"\n"
    "holders   every subject that holds the tag, directly or through the entries of the nested object\n"
    "          roles and role definition documents, each with its chain of entries and their documents\n"
    "diff      per document and identifier, the tags gained (+) and lost (-) from A to B\n"
    "check     the configuration that gives nothing or more than it says: unknown role ids and\n"
    "          includes, roles that give nothing where they are assigned, object names that a tag\n"
    "          cannot carry, missing required attributes, roles hidden behind others of one name or tag\n"
    "log       the module's log (UTF-16LE) as UTF-8 text: the records of severity S or more severe\n"
    "          (CRIT, ERR, WARN, INFO, DBG, DBG2, DBG3), of thread N, holding TEXT\n"
    "--json    one JSON document instead of text\n"
    "\n"
    "Tree and host files are in the node store's text form, as rwhost reads them. Exit codes:\n"
    "0 answered, 1 nothing found, 2 bad input; check gives 0 without findings and 1 with some.\n";

void Print(const std::string& text, FILE* stream) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int BadInput(const std::wstring& text) {
    Print("rwquery: " + WideToUtf8(text) + "\n", stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::wstring> arguments;
    bool json = false;
    SLogFilter filter;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--help" || argument == L"-h") {
            Print(Usage, stdout);
            return 0;
        }
        if (argument == L"--json") {
            json = true;
            continue;
        }
        if (argument != L"--severity" && argument != L"--thread" && argument != L"--grep") {
            arguments.push_back(argument);
            continue;
        }
        if (i + 1 == argc)
            return BadInput(argument + L" needs a value");
        const std::wstring value = argv[++i];
        if (argument == L"--severity") {
            filter.maxSeverity = SeverityOf(value);
            if (!filter.maxSeverity)
                return BadInput(L"--severity " + value + L": not one of CRIT, ERR, WARN, INFO, DBG, DBG2, DBG3");
        } else if (argument == L"--thread") {
            wchar_t* end = nullptr;
            const unsigned long thread = std::wcstoul(value.c_str(), &end, 10);
            if (value.empty() || *end != L'\0' || value[0] == L'-' || thread > 0xFFFFFFFFUL)
                return BadInput(L"--thread " + value + L": not a thread id");
            filter.thread = static_cast<unsigned>(thread);
        } else {
            filter.grep = value;
        }
    }
    if (arguments.empty()) {
        Print(Usage, stderr);
        return 2;
    }
    try {
        if (arguments[0] == L"explain" && arguments.size() == 4) {
            const CConfiguration configuration(arguments[1], arguments[2]);
            const SExplanation explanation = Explain(configuration, arguments[3]);
            Print(json ? ExplainJson(explanation) : ExplainText(explanation), stdout);
            return 0;
        }
        if (arguments[0] == L"explain")
            return BadInput(L"explain takes a tree file, a host file and a subject");
        if (arguments[0] == L"holders" && arguments.size() == 4) {
            const CConfiguration configuration(arguments[1], arguments[2]);
            const std::vector<SHolder> holders = Holders(configuration, arguments[3]);
            Print(json ? HoldersJson(arguments[3], holders) : HoldersText(arguments[3], holders), stdout);
            return holders.empty() ? 1 : 0;
        }
        if (arguments[0] == L"holders")
            return BadInput(L"holders takes a tree file, a host file and a tag");
        if (arguments[0] == L"diff" && arguments.size() == 4) {
            const CConfiguration before(arguments[1], arguments[3]), after(arguments[2], arguments[3]);
            const std::vector<SChange> changes = Diff(before, after);
            Print(json ? DiffJson(changes) : DiffText(changes), stdout);
            return changes.empty() ? 1 : 0;
        }
        if (arguments[0] == L"diff")
            return BadInput(L"diff takes two tree files and a host file");
        if (arguments[0] == L"check" && arguments.size() == 3) {
            const CConfiguration configuration(arguments[1], arguments[2]);
            const std::vector<SFinding> findings = Check(configuration);
            Print(json ? CheckJson(findings) : CheckText(findings), stdout);
            return findings.empty() ? 0 : 1;
        }
        if (arguments[0] == L"check")
            return BadInput(L"check takes a tree file and a host file");
        if (arguments[0] == L"log" && arguments.size() == 2) {
            const std::vector<SLogRecord> records = FilterLog(arguments[1], filter);
            Print(json ? LogJson(records) : LogText(records), stdout);
            return records.empty() ? 1 : 0;
        }
        if (arguments[0] == L"log")
            return BadInput(L"log takes a log file");
        return BadInput(L"unknown command " + arguments[0] + L" (rwquery --help lists them)");
    } catch (const CQueryError& error) {
        return BadInput(error.Text());
    }
}
