// The account functions against the fake directory, for what Wine cannot give (domain accounts,
// oversized SIDs, failing lookups): Data/Accounts.tree holds the directory, and for each subject
// identifier what resolving it raises, its display name (the alternative one when it does not
// resolve), its SID subject and the names and SIDs asked for on the way. Local groups are resolved in
// LocalGroupMembershipRefresherTests, Wine's own accounts through Rolewarden.dll in
// RoleAssignmentsRefresherTests.
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"

#include "Support/DataTrees.h"
#include "Support/FakeDirectory.h"
#include "Support/Raised.h"

TEST(AccountsTests, ResolvesSubjectIdentifiers) {
    CFakeDirectory directory;
    const std::vector<KvNodePtr> data = DataTrees(L"Accounts.tree");
    ASSERT_EQ(data.size(), 2u);
    directory.Load(data[0]);
    for (const KvNodePtr& c : data[1].GetChildren()) {
        const std::wstring subject = c.GetString(L"Subject");
        const size_t before = directory.Asked().size();
        std::wstring display, preprocessed;
        const HRESULT raised = Raised([&] { ResolveAuthId(subject, &display, &preprocessed); });
        EXPECT_EQ(raised, static_cast<HRESULT>(std::stoul(c.GetString(L"Raised"), nullptr, 16))) << c.GetName();
        std::vector<std::wstring> got{raised == S_OK ? display : GetAltDisplayName(subject), preprocessed};
        const std::vector<std::wstring> asked = directory.Asked();
        got.insert(got.end(), asked.begin() + static_cast<ptrdiff_t>(before), asked.end());
        EXPECT_EQ(got, c.GetStringList(L"Then", true)) << c.GetName() << ": display name, SID subject, and the names and SIDs asked for";
    }
}
