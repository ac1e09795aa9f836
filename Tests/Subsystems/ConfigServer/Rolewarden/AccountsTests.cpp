// The account functions against the fake directory, for what Wine cannot give (domain accounts,
// oversized SIDs, failing lookups): Data/Accounts.tree holds the directory's accounts and failing
// subjects, and for each subject identifier what resolving it raises, its display name (the alternative
// one when it does not resolve), its SID subject and the names and SIDs asked for on the way. Local
// groups are resolved in LocalGroupMembershipRefresherTests, Wine's own accounts through Rolewarden.dll
// in RoleAssignmentsRefresherTests.
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"

#include "Support/DataTrees.h"
#include "Support/FakeDirectory.h"
#include "Support/Raised.h"

TEST(AccountsTests, ResolvesSubjectIdentifiers) {
    CFakeDirectory directory;
    const std::vector<KvNodePtr> data = DataTrees(L"Accounts.tree");
    ASSERT_EQ(data.size(), 3u);
    for (const KvNodePtr& account : data[0].GetChildren()) {
        int32_t use = SidTypeUser, sidSize = 0;
        account.TryGetInt32(L"Use", use);
        account.TryGetInt32(L"SidSize", sidSize);
        directory.AddAccount({account.GetName(), account.GetString(L"Domain"), account.GetString(L"Name"), static_cast<SID_NAME_USE>(use),
                              static_cast<DWORD>(sidSize)});
    }
    for (const KvNodePtr& failure : data[1].GetChildren())
        directory.Fail(failure.GetString(L"Subject"), static_cast<DWORD>(failure.GetInt32(L"Error")));
    for (const KvNodePtr& c : data[2].GetChildren()) {
        const std::wstring subject = c.GetString(L"Subject");
        const size_t before = directory.Asked().size();
        std::wstring display, preprocessed;
        const HRESULT raised = Raised([&] { ResolveAuthId(subject, &display, &preprocessed); });
        EXPECT_EQ(raised, static_cast<HRESULT>(std::stoul(c.GetString(L"Raised"), nullptr, 16))) << c.GetName();
        EXPECT_EQ(raised == S_OK ? display : GetAltDisplayName(subject), c.GetString(L"Display")) << c.GetName();
        EXPECT_EQ(preprocessed, c.GetString(L"Preprocessed")) << c.GetName();
        const std::vector<std::wstring> asked = directory.Asked();
        EXPECT_EQ(std::vector(asked.begin() + static_cast<ptrdiff_t>(before), asked.end()), c.GetStringList(L"Asked", false))
            << c.GetName() << ": asked for other names or SIDs";
    }
}
