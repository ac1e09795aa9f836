// Reading role assignment nodes: list attributes given as one string or as a multi-string, the
// subjects an assignment grants to, and defaults of absent attributes.
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

namespace {

class RoleAssignmentNodeTests : public NodeStoreTest {};

using Strings = std::vector<std::wstring>;

} // namespace

TEST_F(RoleAssignmentNodeTests, RolesSubjectsAndDefaults) {
    const std::vector<KvNodePtr> nodes = ParseTrees(R"(<nr>
<node name="Single" type="RoleAssignment">
  <attr name="RoleId" code="2">Admin</attr>
  <attr name="SubjectId" code="2">win:sid=S-1-5-32-544</attr>
  <attr name="IsPredefined" code="7">true</attr>
</node>
<node name="Multi" type="RoleAssignment">
  <attr name="RoleId" code="0x102"><item>Admin</item></attr>
  <attr name="PreprocessedSubjectId" code="0x102"><item>win:sid=S-1-5-21-1</item><item>win:sid=S-1-5-21-2</item></attr>
  <attr name="SubjectId" code="0x102"><item>win:name=DOM\a</item><item>win:name=DOM\b</item></attr>
  <attr name="IsPredefined" code="7">false</attr>
</node>
<node name="Names" type="Other">
  <attr name="RoleId" code="0x102"><item>Admin</item><item>stag:X</item></attr>
  <attr name="SubjectDisplayName" code="0x102"><item>DOM\a</item><item>b@dom</item></attr>
</node>
<node name="EmptyPreprocessed" type="RoleAssignment">
  <attr name="PreprocessedSubjectId" code="0"/>
  <attr name="SubjectId" code="2">win:name=ignored</attr>
  <attr name="SubjectDisplayName" code="2">shown</attr>
</node>
<node name="Nothing" type="RoleAssignment">
  <attr name="SubjectId" code="0x102"></attr>
</node>
</nr>)");
    ASSERT_EQ(nodes.size(), 5u);
    const KvNodePtr &single = nodes[0], &multi = nodes[1], &names = nodes[2], &emptyPreprocessed = nodes[3],
                    &nothing = nodes[4];

    EXPECT_EQ(GetRoleIds(single), Strings{L"Admin"});
    EXPECT_EQ(GetRoleIds(multi), Strings{L"Admin"}) << "a multi-string of one reads as a single string does";
    EXPECT_EQ(GetRoleIds(names), (Strings{L"Admin", L"stag:X"}));
    EXPECT_EQ(Raised([&] { GetRoleIds(nothing); }), NotFoundHr);

    EXPECT_EQ(GetAssignedSubjects(single), Strings{L"win:sid=S-1-5-32-544"});
    EXPECT_EQ(GetAssignedSubjects(multi), (Strings{L"win:sid=S-1-5-21-1", L"win:sid=S-1-5-21-2"}))
        << "PreprocessedSubjectId wins over SubjectId";
    EXPECT_EQ(GetAssignedSubjects(names), (Strings{L"win:name=DOM\\a", L"win:name=b@dom"}));
    EXPECT_EQ(GetAssignedSubjects(emptyPreprocessed), Strings{L"win:name=shown"})
        << "a present PreprocessedSubjectId decides, even without values";
    EXPECT_EQ(Raised([&] { GetAssignedSubjects(nothing); }), NotFoundHr)
        << "without subjects the display names are required";

    EXPECT_TRUE(IsPredefined(single));
    EXPECT_FALSE(IsPredefined(multi));
    EXPECT_FALSE(IsPredefined(names)) << "absent means not predefined";

    EXPECT_TRUE(IsRoleAssignment(single));
    EXPECT_FALSE(IsRoleAssignment(names));
    EXPECT_TRUE(HasAttribute(emptyPreprocessed, PreprocessedSubjectIdAttribute));
    EXPECT_FALSE(HasAttribute(single, PreprocessedSubjectIdAttribute));
}
