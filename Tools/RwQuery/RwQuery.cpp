// rwquery: answers an administrator's questions about the security mappings of a configuration, from
// the roles maintainer's own transformers.
//
//     rwquery explain <tree file> <host file> <subject> [--json]
//
// The tree file and the host file are rwhost's (the node store's text form). Exit codes: 0 with an
// answer, 1 when nothing was found, 2 on bad input, with one line on stderr naming the file, the place
// and the reason.
#include "QueryOutput.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage =
    "usage: rwquery explain <tree file> <host file> <subject> [--json]\n"
    "\n"
    "explain   every tag in the subject's user roles entry, each with the role assignments that put it\n"
    "          there: the assignment's path, the role id as written, and the object whose name filled\n"
    "          the tag's parameter (path and type), or \"assigned at the root\"\n"
    "--json    one JSON document instead of text\n"
    "\n"
    "Both files are in the node store's text form, as rwhost reads them. Exit codes: 0 answered,\n"
    "1 nothing found, 2 bad input.\n";

void Print(const std::string& text, FILE* stream) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int BadInput(const std::wstring& text) {
    Print("rwquery: " + Utf8(text) + "\n", stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::wstring> arguments;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--help" || argument == L"-h") {
            Print(Usage, stdout);
            return 0;
        }
        if (argument == L"--json")
            json = true;
        else
            arguments.push_back(argument);
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
        return BadInput(L"unknown command " + arguments[0] + L" (rwquery --help lists them)");
    } catch (const CQueryError& error) {
        return BadInput(error.Text());
    }
}
