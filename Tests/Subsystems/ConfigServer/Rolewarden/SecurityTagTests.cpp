// Security tag texts: what the parser makes of well-formed and malformed parameter lists
// (Data/SecurityTags.tree: each text with its parameters as a rebuilt text writes them, and whether
// they are all plain and empty). Tags rewritten with new parameter values and mapping documents (entry
// names and order, tags without repeats) show in the expected documents of the transformer tests.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"

#include "Support/DataTrees.h"

TEST(SecurityTagTests, ParsesEveryParameterForm) {
    for (const KvNodePtr& c : DataTree(L"SecurityTags.tree").GetChildren()) {
        const std::wstring text = c.GetString(L"Text");
        const CSecurityTag tag(text);
        std::vector<std::wstring> parameters(tag.GetParameterCount());
        for (size_t i = 0; i < parameters.size(); ++i)
            tag.GetParameter(i)->AppendTo(parameters[i]);
        EXPECT_EQ(parameters, c.GetStringList(L"Parameters", false)) << c.GetName();
        EXPECT_EQ(tag.ToString(), text) << c.GetName() << ": an unchanged tag gives back its input";
        bool allEmpty = false;
        EXPECT_EQ(tag.AllParametersEmpty(), c.TryGetBool(L"AllEmpty", allEmpty) && allEmpty) << c.GetName();
    }
}
