// The account functions: subject identifier forms, and against the fake directory what Wine cannot
// give (domain accounts, oversized and invalid SIDs, local groups, failing network calls). What Wine
// answers itself is resolved through Rolewarden.dll in RoleAssignmentsRefresherTests.
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"

#include "Support/FakeDirectory.h"
#include "Support/Raised.h"

#include <gtest/gtest.h>

namespace {

constexpr const wchar_t* AliceSid = L"S-1-5-21-10-20-30-1001";
constexpr const wchar_t* JdoeSid = L"S-1-5-21-10-20-30-1002";

// CORP\alice and CORP\jdoe, and a machine that cannot map CORP\jdoe, only the principal name.
class FakeAccountsTest : public ::testing::Test {
protected:
    FakeAccountsTest() {
        directory.AddAccount({AliceSid, L"CORP", L"alice"});
        directory.AddAccount({JdoeSid, L"CORP", L"jdoe"});
        directory.Fail(L"CORP\\jdoe", ERROR_NONE_MAPPED);
    }
    ~FakeAccountsTest() override { EXPECT_EQ(directory.BufferFaults(), 0) << "network buffers not released"; }
    CFakeDirectory directory;
};

} // namespace

TEST(AccountsTests, SubjectIdentifierForms) {
    std::wstring value;
    EXPECT_TRUE(TryGetSidFromSubjectId(L"win:sid=S-1-5-32-544", value) && value == L"S-1-5-32-544");
    EXPECT_TRUE(TryGetNameFromSubjectId(L"win:name=", value) && value.empty());
    EXPECT_EQ(GetAltDisplayName(L"win:name=CORP\\alice"), L"CORP\\alice");
    for (const wchar_t* id : {L"sid=S-1-5-32-544", L"WIN:sid=S-1-5-32-544", L"win:SID=S-1-5-32-544", L"win:name", L"stag:Role"}) {
        EXPECT_FALSE(TryGetSidFromSubjectId(id, value) || TryGetNameFromSubjectId(id, value)) << id;
        EXPECT_EQ(Raised([&] { ResolveAuthId(id, nullptr, nullptr); }), E_INVALIDARG) << id;
        EXPECT_EQ(GetAltDisplayName(id), id);
    }
    EXPECT_EQ(Raised([] { ResolveAuthId(L"win:sid=", nullptr, nullptr); }), HRESULT_FROM_WIN32(ERROR_INVALID_SID));
}

TEST_F(FakeAccountsTest, NameLookupsAndTheirRewriting) {
    EXPECT_EQ(LookupSidByAccountName(L"CORP\\jdoe").ToString(), JdoeSid);
    EXPECT_EQ(directory.Asked(), (std::vector<std::wstring>{L"CORP\\jdoe", L"jdoe@CORP"}));
    // Not rewritten: a local or empty domain, a name that already has "@", a name without domain.
    for (const wchar_t* name : {L".\\nobody", L"\\nobody", L"nobody@CORP\\x", L"nobody"}) {
        const size_t before = directory.Asked().size();
        EXPECT_EQ(Raised([&] { LookupSidByAccountName(name); }), HRESULT_FROM_WIN32(ERROR_NONE_MAPPED)) << name;
        EXPECT_EQ(directory.Asked().size(), before + 1) << name << " was asked for in another form";
    }
    directory.Fail(L"bob@CORP", ERROR_TRUSTED_RELATIONSHIP_FAILURE);
    directory.Fail(L"CORP\\carol", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Raised([] { LookupSidByAccountName(L"CORP\\bob"); }), HRESULT_FROM_WIN32(ERROR_TRUSTED_RELATIONSHIP_FAILURE));
    EXPECT_EQ(Raised([] { LookupSidByAccountName(L"CORP\\carol"); }), E_ACCESSDENIED);
    EXPECT_EQ(directory.Calls(L"carol@CORP"), 0) << "only ERROR_NONE_MAPPED is retried";

    directory.AddAccount({L"S-1-5-21-7-7-7-8", L"CORP", L"big", SidTypeUser, CSid::MaxSize + 8});
    EXPECT_EQ(Raised([] { LookupSidByAccountName(L"CORP\\big"); }), E_FAIL) << "a SID longer than any valid one";
    const std::wstring longDomain(200, L'D');
    directory.AddAccount({L"S-1-5-21-7-7-7-7", longDomain, L"eve"});
    const CSid eve = LookupSidByAccountName(longDomain + L"\\eve");
    EXPECT_TRUE(eve.ToString() == L"S-1-5-21-7-7-7-7" && eve.Domain() == longDomain) << "a long domain gets a larger buffer";
}

TEST_F(FakeAccountsTest, NamesBySidAndTheComputerName) {
    std::wstring preprocessed;
    ResolveAuthId(L"win:sid=S-1-5-21-10-20-30-01001", nullptr, &preprocessed);
    EXPECT_EQ(preprocessed, std::wstring(L"win:sid=") + AliceSid) << "not in canonical form";
    EXPECT_TRUE(directory.Asked().empty()) << "a SID subject needs no lookup to preprocess";
    directory.AddAccount({L"S-1-1-0", L"", L"Everyone", SidTypeWellKnownGroup});
    directory.AddAccount({L"S-1-5-32", L"BUILTIN", L"", SidTypeDomain});
    EXPECT_EQ(LookupAccountNameBySid(SidFromString(L"S-1-1-0")), L"Everyone") << "no domain, no backslash";
    EXPECT_EQ(LookupAccountNameBySid(SidFromString(L"S-1-5-32")), L"BUILTIN") << "no name, the domain alone";
    EXPECT_EQ(GetLocalComputerName(), CFakeDirectory::ComputerName) << "a name longer than the first buffer";
}

TEST_F(FakeAccountsTest, LocalGroupsAndFailingNetworkCalls) {
    directory.AddAccount({L"S-1-5-21-1-2-3-1010", CFakeDirectory::ComputerName, L"Admins", SidTypeAlias});
    const std::vector<CFakeDirectory::SMember> admins = {{AliceSid, SidTypeUser, L"CORP\\alice"},
                                                         {L"S-1-5-21-1-2-3-1011", SidTypeGroup, L"FAKEPC\\Nested"},
                                                         {L"S-1-1-0", SidTypeWellKnownGroup, L"Everyone"}};
    directory.SetGroup(L"Admins", admins);
    EXPECT_EQ(GetLocalGroupSid(L"Admins").ToString(), L"S-1-5-21-1-2-3-1010");
    EXPECT_EQ(directory.Asked().back(), CFakeDirectory::ComputerName + std::wstring(L"\\Admins")) << "not asked as computer\\group";
    const std::vector<SMemberInfo> members = GetLocalGroupMembers(L"Admins");
    ASSERT_EQ(members.size(), admins.size());
    for (size_t i = 0; i < admins.size(); ++i)
        EXPECT_TRUE(members[i].Sid.ToString() == admins[i].sid && members[i].Usage == admins[i].use && members[i].Name == admins[i].name) << i;

    directory.Fail(L"Down", ERROR_NETWORK_UNREACHABLE);
    for (const auto& [group, error] : {std::pair{L"Missing", DWORD{NERR_GroupNotFound}}, {L"Down", DWORD{ERROR_NETWORK_UNREACHABLE}}}) {
        EXPECT_EQ(Raised([&] { GetLocalGroupSid(group); }), HRESULT_FROM_WIN32(error)) << group;
        EXPECT_EQ(Raised([&] { GetLocalGroupMembers(group); }), HRESULT_FROM_WIN32(error)) << group;
    }
    // The fixture then checks that the buffer was released although the copy raised.
    directory.SetGroup(L"Odd", {{AliceSid, SidTypeUser, L"CORP\\alice"}, {JdoeSid, SidTypeUser, L"CORP\\jdoe", true}});
    EXPECT_EQ(Raised([] { GetLocalGroupMembers(L"Odd"); }), E_INVALIDARG) << "an invalid member SID";
}
