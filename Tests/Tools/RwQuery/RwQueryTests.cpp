// rwquery and rwhost: the programs' whole output for small trees and every kind of bad input
// (transcripts), and
// explain's and holders' agreement with the documents the transformers make, for every subject of the
// sample and of random configurations.
#include "Common/Components/InterfacePtr.h"
#include "Common/StringHelpers.h"
#include "Documents.h"
#include "Explain.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

namespace {

std::filesystem::path DataDirectory() {
    return std::filesystem::path(TestExecutablePath()).parent_path() / L"RwQueryData";
}

// One argument as the C runtime splits a command line: in quotes, with quotes and the backslashes
// before them escaped.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    return quoted.append(backslashes * 2, L'\\') + L"\"";
}

struct SRun {
    int exitCode = -1;
    std::string out, err;
};

// rwhost when the first argument is "rwhost", else rwquery, with the other arguments, in the data
// directory, its output read through pipes.
SRun RunProgram(std::vector<std::wstring> arguments) {
    const bool host = !arguments.empty() && arguments[0] == L"rwhost";
    if (host)
        arguments.erase(arguments.begin());
    const std::wstring program =
        (std::filesystem::path(TestExecutablePath()).parent_path() / (host ? L"rwhost.exe" : L"rwquery.exe")).wstring();
    std::wstring commandLine = Quoted(program);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + Quoted(argument);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 1 << 20);
    CreatePipe(&errRead, &errWrite, &inherit, 1 << 20);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    SRun run;
    const std::wstring directory = DataDirectory().wstring();
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(), &startup, &process)) {
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        const auto drain = [](HANDLE pipe, std::string& text) {
            char buffer[4096];
            DWORD read = 0;
            while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
                text.append(buffer, read);
        };
        drain(outRead, run.out);
        drain(errRead, run.err);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.exitCode = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        CloseHandle(outWrite);
        CloseHandle(errWrite);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

// Every subject of every user roles document of the configuration, explained: the tags are the entry's,
// each with at least one grant and none twice, and each grant names a role assignment of the tree that
// holds the subject and the role id; and holders of each of those tags finds the subject by its entry,
// every step of every chain with the transformer's reason.
void ExpectExplainAgrees(const std::wstring& treeFile, const std::wstring& hostFile) {
    const CConfiguration configuration(treeFile, hostFile);
    const CConfiguration::SDocuments documents = configuration.Transform(nullptr);
    const std::vector<KvNodePtr> trees = ReadTreeFile(treeFile);
    ASSERT_FALSE(documents.userRoles.empty());
    for (const std::wstring& name : documents.userRoles) {
        for (const KvNodePtr& entry : documents.byName.at(name).GetChildren()) {
            const std::wstring subject = entry.GetString(L"SecurityId");
            const SExplanation explanation = Explain(configuration, subject);
            std::vector<std::wstring> tags;
            for (const SExplainedTag& tag : explanation.tags) {
                tags.push_back(tag.tag);
                EXPECT_FALSE(tag.grants.empty()) << testing::PrintToString(subject) << " " << testing::PrintToString(tag.tag);
                // An assignment that names the subject or the role twice is one grant.
                for (size_t g = 1; g < tag.grants.size(); ++g)
                    EXPECT_EQ(std::count(tag.grants.begin(), tag.grants.end(), tag.grants[g]), 1) << testing::PrintToString(tag.tag);
                for (const SGrant& grant : tag.grants) {
                    KvNodePtr assignment;
                    for (const KvNodePtr& tree : trees)
                        assignment = assignment ? assignment : tree.FindNode(grant.assignment.c_str());
                    ASSERT_TRUE(assignment) << testing::PrintToString(grant.assignment);
                    const std::vector<std::wstring> roles = assignment.GetStringList(L"RoleId", true);
                    EXPECT_NE(std::find(roles.begin(), roles.end(), grant.role), roles.end()) << testing::PrintToString(grant.role);
                    // The object holding the assignment: the tree's root, or the grant's object.
                    const std::wstring holder = assignment.GetParent().GetParent().GetPath();
                    const bool atRoot = std::any_of(configuration.Sources().begin(), configuration.Sources().end(),
                                                    [&](const CConfiguration::SSource& source) { return source.path == holder; });
                    EXPECT_EQ(grant.object, atRoot ? std::wstring() : holder);
                }
            }
            EXPECT_EQ(tags, entry.GetStringList(L"AppliedSecurityTag", true)) << testing::PrintToString(subject);
            // holders finds the subject for each of its tags, by the entry itself.
            for (const std::wstring& tag : tags) {
                const std::vector<SHolder> holders = Holders(configuration, tag);
                const auto holder = std::find_if(holders.begin(), holders.end(), [&](const SHolder& h) { return h.subject == subject; });
                ASSERT_NE(holder, holders.end()) << testing::PrintToString(tag);
                EXPECT_TRUE(holder->chain.size() == 1 && holder->chain[0].document == name) << testing::PrintToString(tag);
                // Every step of every chain comes with the transformer's reason for its entry.
                for (const SHolder& each : holders) {
                    for (const SStep& step : each.chain)
                        EXPECT_FALSE(step.why.empty()) << testing::PrintToString(step.from) << " -> " << testing::PrintToString(step.to);
                }
            }
        }
    }
}

} // namespace

// Each block of the transcripts of rwquery (its check command apart) and rwhost: "$ " and the arguments, the expected standard
// output, "! " before each expected line of standard error, and "? " with the exit code.
TEST(RwQueryTests, Transcripts) {
    struct SBlock {
        std::vector<std::wstring> arguments;
        std::string out, err;
        int exitCode = -1;
    };
    std::vector<SBlock> blocks;
    std::stringstream file;
    for (const wchar_t* name : {L"RwQuery.transcript", L"Check.transcript", L"RwHost.transcript"}) {
        std::ifstream part(DataDirectory() / name, std::ios::binary);
        ASSERT_TRUE(part) << testing::PrintToString(name);
        file << part.rdbuf();
    }
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("$ ", 0) == 0) {
            blocks.emplace_back();
            std::istringstream words(line.substr(2));
            for (std::string word; words >> word;)
                blocks.back().arguments.push_back(Utf8ToWide(word));
        } else if (blocks.empty() || line.rfind("# ", 0) == 0) {
            continue;
        } else if (line.rfind("! ", 0) == 0) {
            blocks.back().err += line.substr(2) + "\n";
        } else if (line.rfind("? ", 0) == 0) {
            blocks.back().exitCode = std::stoi(line.substr(2));
        } else {
            blocks.back().out += line + "\n";
        }
    }
    ASSERT_GE(blocks.size(), 60u);
    for (const SBlock& block : blocks) {
        const SRun run = RunProgram(block.arguments);
        const std::string shown = testing::PrintToString(block.arguments);
        EXPECT_EQ(run.out, block.out) << shown;
        EXPECT_EQ(run.err, block.err) << shown;
        EXPECT_EQ(run.exitCode, block.exitCode) << shown;
    }
}

// The sample configuration that the README runs rwhost on.
TEST(RwQueryTests, ExplainAgreesWithTheSample) {
    ExpectExplainAgrees((DataDirectory() / L"samples" / L"config.tree").wstring(), (DataDirectory() / L"samples" / L"host.tree").wstring());
}

// Random configurations: roles of one tag text or of their own, with random object types and includes,
// over random folder trees whose objects hold assignments of known, unknown and literal role ids for a
// few subjects, given by every kind of subject attribute.
TEST(RwQueryTests, ExplainAgreesOnRandomConfigurations) {
    std::mt19937 random(20261207);
    const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    const auto list = [](const std::string& name, const std::vector<std::string>& items) {
        std::string text = "<attr name=\"" + name + "\" code=\"0x102\">";
        for (const std::string& item : items)
            text += "<item>" + item + "</item>";
        return text + "</attr>";
    };
    const std::vector<std::string> types = {"Folder", "ManagedObjectLink", "RootFolder", "Server"};
    const std::vector<std::string> tags = {"stag:A[Folder=$f;Container=$c]", "stag:B[Folder=$f]", "stag:C[Container=$c;Flag]",
                                           "stag:D", "stag:E[Folder=$f;Tenant='T']"};
    const std::filesystem::path directory = std::filesystem::temp_directory_path() / L"rw-rwquery-tests";
    std::filesystem::create_directories(directory);
    const std::wstring treeFile = (directory / L"random.tree").wstring(), hostFile = (directory / L"host.tree").wstring();
    std::ofstream(std::filesystem::path(hostFile)) << R"(<nr><node name="Host"><node name="Roles" type="Component"><attr name="ClassName" code="2">CRolesMaintainer</attr><node name="Config">)"
                               R"(<node name="Roles" type="RoleDefinitionSource"><attr name="SourcePath" code="2">\R</attr><attr name="TargetMappingPath" code="2">\M\Roles</attr></node>)"
                               R"(<node name="Tree" type="FoldersTreeSource"><attr name="SourcePath" code="2">\T</attr><attr name="TargetUserRolesMappingPath" code="2">\M\Users</attr><attr name="TargetObjectsHierarchyRolesMappingPath" code="2">\M\Nested</attr></node>)"
                               R"(</node></node></node></nr>)";
    for (int round = 0; round < 25; ++round) {
        std::string text = "<nr><node name=\"\\R\">";
        for (int role = 0; role < 6; ++role) {
            std::vector<std::string> supported;
            for (const std::string& type : types) {
                if (chance(50))
                    supported.push_back(type);
            }
            text += "<node name=\"R" + std::to_string(role) + "\" type=\"RoleDefinitionItem\"><attr name=\"SecurityTag\" code=\"2\">" + pick(tags) +
                    "</attr>" + list("SupportedObjectTypes", supported) + "</node>";
        }
        text += "</node>";
        int objects = 0;
        // An object with its assignments and, a few levels down, children of random types.
        const auto object = [&](auto& self, const std::string& name, const std::string& type, int depth) -> std::string {
            std::string node = "<node name=\"" + name + "\" type=\"" + type + "\">";
            if (chance(45)) {
                node += "<node name=\"RoleAssignments\">";
                for (int a = 0, count = 1 + random() % 2; a < count; ++a) {
                    std::vector<std::string> roles;
                    for (int r = 0, n = 1 + random() % 3; r < n; ++r)
                        roles.push_back(pick({"R0", "R1", "R2", "R3", "R4", "R5", "stag:Lit", "Unknown"}));
                    const std::string subject = pick({"U0", "U1", "U2", "U3"});
                    node += "<node name=\"A" + std::to_string(a) + "\" type=\"RoleAssignment\">" + list("RoleId", roles) +
                            (chance(30) ? "<attr name=\"PreprocessedSubjectId\" code=\"2\">win:sid=" + subject + "</attr>" : "") +
                            (chance(70) ? list("SubjectId", {"win:name=" + subject, "win:name=" + pick({"U0", "U4"})})
                                        : "<attr name=\"SubjectDisplayName\" code=\"2\">" + subject + "</attr>") +
                            "</node>";
                }
                node += "</node>";
            }
            for (int c = 0, count = depth < 4 ? static_cast<int>(random() % 4) : 0; c < count; ++c)
                node += self(self, "O" + std::to_string(++objects), pick(types), depth + 1);
            return node + "</node>";
        };
        text += object(object, "\\T", "RootFolder", 0) + "</nr>";
        std::ofstream(std::filesystem::path(treeFile), std::ios::binary | std::ios::trunc) << text;
        SCOPED_TRACE(text);
        ExpectExplainAgrees(treeFile, hostFile);
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}
