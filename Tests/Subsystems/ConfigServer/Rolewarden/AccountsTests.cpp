// The account functions: subject identifier forms, against what Wine itself answers for well-known
// SIDs and the machine's own account, and against the fake directory for what Wine cannot give
// (domain accounts, names that stop resolving, oversized and invalid SIDs, local groups, failing
// network calls).
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"

#include "Support/FakeDirectory.h"
#include "Support/Raised.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// LookupAccountSidW as the system answers it, for comparison: domain and name.
std::optional<std::pair<std::wstring, std::wstring>> SystemAccountOf(const std::wstring& sidText) {
    const CSid sid = SidFromString(sidText);
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid.Get(), name, &nameLength, domain, &domainLength, &use))
        return std::nullopt;
    return std::make_pair(std::wstring(domain), std::wstring(name));
}

constexpr const wchar_t* AliceSid = L"S-1-5-21-10-20-30-1001";
constexpr const wchar_t* JdoeSid = L"S-1-5-21-10-20-30-1002";

class FakeAccountsTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory.AddAccount({AliceSid, L"CORP", L"alice"});
        // Known to this machine only by its principal name.
        directory.AddAccount({JdoeSid, L"CORP", L"jdoe", SidTypeUser, {L"jdoe@CORP"}});
    }
    void TearDown() override {
        EXPECT_TRUE(directory.LiveBuffers() == 0 && directory.BadFrees() == 0) << "network buffers not released";
    }
    CFakeDirectory directory;
};

} // namespace

TEST(AccountsTests, SubjectIdentifierForms) {
    std::wstring value = L"kept";
    EXPECT_TRUE(TryGetSidFromSubjectId(L"win:sid=S-1-5-32-544", value) && value == L"S-1-5-32-544");
    EXPECT_TRUE(TryGetNameFromSubjectId(L"win:name=", value) && value.empty());
    EXPECT_TRUE(IsNameSubjectId(MakeNameSubjectId(L"CORP\\alice")));
    EXPECT_EQ(GetAltDisplayName(L"win:name=CORP\\alice"), L"CORP\\alice");
    value = L"kept";
    for (const wchar_t* id : {L"sid=S-1-5-32-544", L"WIN:sid=S-1-5-32-544", L"win:SID=S-1-5-32-544", L"win:name", L"stag:Role"}) {
        EXPECT_FALSE(TryGetSidFromSubjectId(id, value) || TryGetNameFromSubjectId(id, value)) << id;
        EXPECT_EQ(Raised([&] { ResolveAuthId(id, nullptr, nullptr); }), E_INVALIDARG) << id;
        EXPECT_EQ(GetAltDisplayName(id), id);
    }
    EXPECT_EQ(value, L"kept") << "an identifier of another form must leave the value alone";
    EXPECT_EQ(Raised([] { ResolveAuthId(L"win:sid=", nullptr, nullptr); }), HRESULT_FROM_WIN32(ERROR_INVALID_SID));
}

// What Wine answers itself: well-known SIDs and the account the tests run under.
TEST(AccountsTests, WellKnownSidsAndTheMachinesOwnAccount) {
    const auto administrators = SystemAccountOf(L"S-1-5-32-544");
    const auto everyone = SystemAccountOf(L"S-1-1-0");
    if (!administrators || !everyone)
        GTEST_SKIP() << "this Wine cannot look up S-1-5-32-544 and S-1-1-0";
    std::wstring display, preprocessed;
    ResolveAuthId(L"win:sid=S-1-5-32-0544", &display, &preprocessed);
    EXPECT_EQ(display, administrators->first + L"\\" + administrators->second);
    EXPECT_EQ(preprocessed, L"win:sid=S-1-5-32-544") << "a SID subject is preprocessed into its canonical form";
    ResolveAuthId(L"win:sid=S-1-1-0", &display, nullptr);
    EXPECT_EQ(display, everyone->first.empty() ? everyone->second : everyone->first + L"\\" + everyone->second);
    const CSid builtin = LookupSidByAccountName(L"BUILTIN\\Administrators");
    EXPECT_TRUE(builtin.ToString() == L"S-1-5-32-544" && builtin.Use() == SidTypeAlias && builtin.Domain() == L"BUILTIN");

    wchar_t user[256];
    DWORD userLength = 256;
    ASSERT_TRUE(GetUserNameW(user, &userLength));
    const std::wstring computer = GetLocalComputerName();
    const CSid own = LookupSidByAccountName(computer + L"\\" + user);
    EXPECT_EQ(own.Use(), SidTypeUser);
    EXPECT_EQ(_wcsicmp(LookupAccountNameBySid(own).c_str(), (own.Domain() + L"\\" + user).c_str()), 0);
    ResolveAuthId(MakeNameSubjectId(std::wstring(L".\\") + user), nullptr, &preprocessed);
    EXPECT_EQ(preprocessed, MakeSidSubjectId(own));
}

TEST_F(FakeAccountsTest, NameLookupsAndTheirRewriting) {
    const CSid jdoe = LookupSidByAccountName(L"CORP\\jdoe");
    EXPECT_EQ(jdoe.ToString(), JdoeSid);
    EXPECT_EQ(directory.NamesAsked(), (std::vector<std::wstring>{L"CORP\\jdoe", L"jdoe@CORP"}));
    EXPECT_TRUE(jdoe.AccountName() == L"jdoe@CORP" && jdoe.Domain() == L"CORP" && jdoe.Use() == SidTypeUser);
    // Not rewritten: a local or empty domain, a name that already has "@", a name without domain.
    for (const wchar_t* name : {L".\\jdoe", L"\\jdoe", L"jdoe@CORP\\x", L"jdoe"}) {
        const size_t before = directory.NamesAsked().size();
        EXPECT_EQ(Raised([&] { LookupSidByAccountName(name); }), HRESULT_FROM_WIN32(ERROR_NONE_MAPPED)) << name;
        EXPECT_EQ(directory.NamesAsked().size(), before + 1) << name;
    }
    directory.Fail(L"bob@CORP", ERROR_TRUSTED_RELATIONSHIP_FAILURE);
    EXPECT_EQ(Raised([] { LookupSidByAccountName(L"CORP\\bob"); }), HRESULT_FROM_WIN32(ERROR_TRUSTED_RELATIONSHIP_FAILURE));
    directory.Fail(L"CORP\\carol", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Raised([] { LookupSidByAccountName(L"CORP\\carol"); }), E_ACCESSDENIED) << "only ERROR_NONE_MAPPED is retried";
    EXPECT_EQ(directory.Calls(L"carol@CORP"), 0);

    directory.ReportSidSize(L"CORP\\alice", CSid::MaxSize + 8);
    EXPECT_EQ(Raised([] { LookupSidByAccountName(L"CORP\\alice"); }), E_FAIL) << "a SID longer than any valid one";
    const std::wstring longDomain(200, L'D');
    directory.AddAccount({L"S-1-5-21-7-7-7-7", longDomain, L"eve"});
    const CSid eve = LookupSidByAccountName(longDomain + L"\\eve");
    EXPECT_TRUE(eve.ToString() == L"S-1-5-21-7-7-7-7" && eve.Domain() == longDomain) << "a long domain gets a larger buffer";
    EXPECT_EQ(directory.Calls(longDomain + L"\\eve"), 2);
}

TEST_F(FakeAccountsTest, NamesBySidThatStopResolvingAndResolveAgain) {
    std::wstring display, preprocessed;
    ResolveAuthId(L"win:sid=S-1-5-21-10-20-30-01001", nullptr, &preprocessed);
    EXPECT_EQ(preprocessed, std::wstring(L"win:sid=") + AliceSid);
    EXPECT_TRUE(directory.NamesAsked().empty() && directory.Calls(AliceSid) == 0) << "a SID subject needs no lookup to preprocess";
    ResolveAuthId(L"win:name=CORP\\jdoe", &display, &preprocessed);
    EXPECT_TRUE(display == L"CORP\\jdoe" && preprocessed == std::wstring(L"win:sid=") + JdoeSid);

    directory.SetResolvable(AliceSid, false);
    EXPECT_EQ(Raised([&] { ResolveAuthId(L"win:sid=S-1-5-21-10-20-30-1001", &display, nullptr); }),
              HRESULT_FROM_WIN32(ERROR_NONE_MAPPED));
    directory.SetResolvable(AliceSid, true);
    directory.Rename(AliceSid, L"alice.smith");
    EXPECT_EQ(LookupAccountNameBySid(SidFromString(AliceSid)), L"CORP\\alice.smith");
    directory.AddAccount({L"S-1-1-0", L"", L"Everyone", SidTypeWellKnownGroup});
    directory.AddAccount({L"S-1-5-32", L"BUILTIN", L"", SidTypeDomain});
    EXPECT_EQ(LookupAccountNameBySid(SidFromString(L"S-1-1-0")), L"Everyone") << "no domain, no backslash";
    EXPECT_EQ(LookupAccountNameBySid(SidFromString(L"S-1-5-32")), L"BUILTIN") << "no name, the domain alone";

    directory.SetComputerName(L"AVERYLONGCOMPUTERNAME");
    EXPECT_EQ(GetLocalComputerName(), L"AVERYLONGCOMPUTERNAME");
}

TEST_F(FakeAccountsTest, LocalGroupsAndFailingNetworkCalls) {
    directory.AddAccount({L"S-1-5-21-1-2-3-1010", L"FAKEPC", L"Admins", SidTypeAlias});
    directory.SetGroup(L"Admins", {{AliceSid, SidTypeUser, L"CORP\\alice"},
                                   {L"S-1-5-21-1-2-3-1011", SidTypeGroup, L"FAKEPC\\Nested"},
                                   {L"S-1-1-0", SidTypeWellKnownGroup, L"Everyone"}});
    EXPECT_EQ(GetLocalGroupSid(L"Admins").ToString(), L"S-1-5-21-1-2-3-1010");
    EXPECT_EQ(directory.NamesAsked().back(), L"FAKEPC\\Admins");
    const std::vector<SMemberInfo> members = GetLocalGroupMembers(L"Admins");
    ASSERT_EQ(members.size(), 3u);
    EXPECT_TRUE(members[0].Sid.ToString() == AliceSid && members[0].Usage == SidTypeUser && members[0].Name == L"CORP\\alice");
    EXPECT_TRUE(members[2].Sid.ToString() == L"S-1-1-0" && members[2].Usage == SidTypeWellKnownGroup && members[2].Name == L"Everyone");

    EXPECT_EQ(Raised([] { GetLocalGroupSid(L"Missing"); }), HRESULT_FROM_WIN32(NERR_GroupNotFound));
    EXPECT_EQ(Raised([] { GetLocalGroupMembers(L"Missing"); }), HRESULT_FROM_WIN32(NERR_GroupNotFound));
    directory.Fail(L"Admins", ERROR_NETWORK_UNREACHABLE);
    EXPECT_EQ(Raised([] { GetLocalGroupSid(L"Admins"); }), HRESULT_FROM_WIN32(ERROR_NETWORK_UNREACHABLE));
    EXPECT_EQ(Raised([] { GetLocalGroupMembers(L"Admins"); }), HRESULT_FROM_WIN32(ERROR_NETWORK_UNREACHABLE));
    directory.SetGroup(L"Odd", {{AliceSid, SidTypeUser, L"CORP\\alice"}, {JdoeSid, SidTypeUser, L"CORP\\jdoe", true}});
    EXPECT_EQ(Raised([] { GetLocalGroupMembers(L"Odd"); }), E_INVALIDARG) << "an invalid member SID";
    EXPECT_EQ(directory.LiveBuffers(), 0) << "the buffer must be released when the copy raises";
}
