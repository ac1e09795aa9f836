// bench_errortexts: what error texts and node dumps cost. Prints the cost of a cached and of a first
// description lookup, of a failure through the boundary helper (with and without its ERR record), and
// the rate of node dumps of a tree of 1,000 nodes with and without masking.
#include "Common/Logging.h"
#include "Common/Nodes/NodeDump.h"

#include <cstdio>
#include <string>

namespace {

template <class Body>
double Seconds(Body body) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    body();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// 1,001 nodes: the root and ten groups of 99 accounts, each account with a secret.
KvNodePtr Tree() {
    KvNodePtr root = KvNodePtr::Create(L"Config", L"Component");
    for (int i = 0; i < 10; ++i) {
        KvNodePtr group = KvNodePtr::Create((L"Group" + std::to_wstring(i)).c_str(), L"Group");
        for (int j = 0; j < 99; ++j) {
            KvNodePtr account = KvNodePtr::Create((L"Account" + std::to_wstring(j)).c_str(), L"Account");
            account.SetString(L"Name", L"some account name");
            account.SetString(L"Secret", L"some secret value");
            group.AddChild(account);
        }
        root.AddChild(group);
    }
    return root;
}

} // namespace

int main() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    SetEnvironmentVariableW(L"GS_Logger_Path", (std::wstring(temp) + L"rw-bench-errortexts\\").c_str());

    constexpr int Codes = 2000;
    const double first = Seconds([] {
        for (int i = 0; i < Codes; ++i)
            GetErrorDescription(static_cast<HRESULT>(0x80070000 + i));
    });
    constexpr int Lookups = 1'000'000;
    const double cached = Seconds([] {
        for (int i = 0; i < Lookups; ++i)
            GetErrorDescription(static_cast<HRESULT>(0x80070000 + i % Codes));
    });
    std::printf("first description lookup:      %8.2f us\n", first * 1e6 / Codes);
    std::printf("cached description lookup:     %8.2f us\n", cached * 1e6 / Lookups);

    constexpr int Failures = 5000;
    const auto fail = [] {
        for (int i = 0; i < Failures; ++i)
            CallBoundary(L"CBench::Run", [] { ThrowIfWin32Error(ERROR_ACCESS_DENIED); });
    };
    std::printf("boundary failure with record:  %8.0f per second\n", Failures / Seconds(fail));
    SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"NONE");
    Sleep(CLoggerConfig::RefreshInterval + 100);
    std::printf("boundary failure, log off:     %8.0f per second\n", Failures / Seconds(fail));

    const KvNodePtr tree = Tree();
    constexpr int Dumps = 50;
    size_t length = 0;
    const HiddenNodeAttributes none, secrets{{L"Account", {L"Secret"}}};
    for (const HiddenNodeAttributes* hidden : {&none, &secrets}) {
        const double seconds = Seconds([&] {
            for (int i = 0; i < Dumps; ++i)
                length = CKvNodeLogView(tree, KVN_DEPTH_ALL, *hidden).ToString().size();
        });
        std::printf("dump of 1,000 nodes, %-6s: %8.2f ms (%zu characters)\n", hidden->empty() ? "plain" : "masked", seconds * 1e3 / Dumps,
                    length);
    }
    return 0;
}
