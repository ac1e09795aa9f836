// Role assignment nodes: RoleId as one string or as a multi-string, and the default of IsPredefined.
// The subjects an assignment grants to show in the folder tree transformer's documents.
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

class RoleAssignmentNodeTests : public NodeStoreTest {};

TEST_F(RoleAssignmentNodeTests, ListsAndDefaults) {
    KvNodePtr single = KvNodePtr::Create(L"A", L"RoleAssignment"), multi = KvNodePtr::Create(L"B", L"Other");
    single.SetString(RoleIdAttribute, L"Admin");
    multi.SetStringList(RoleIdAttribute, {L"Admin"});
    EXPECT_EQ(GetRoleIds(single), GetRoleIds(multi));
    EXPECT_FALSE(IsPredefined(single)) << "absent means not predefined";
    single.SetBool(IsPredefinedAttribute, true);
    EXPECT_TRUE(IsPredefined(single));
    EXPECT_TRUE(IsRoleAssignment(single));
    EXPECT_FALSE(IsRoleAssignment(multi));
}
