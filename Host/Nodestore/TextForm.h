// The store's text form: UTF-8, one element per node and per attribute, every value with its type
// code, so that a tree read back is the tree written:
//
//     <nr>
//     <node name="Settings" type="Component">
//       <attr name="Interval" code="4">3600</attr>
//       <attr name="Paths" code="0x102"><item>\Roles</item><item></item></attr>
//       <attr name="Flag" code="0"/>
//       <node name="Child"/>
//     </node>
//     </nr>
//
// Text is escaped with &amp; &lt; &gt; &quot; and character references (&#xD;) for control characters
// and for surrogates that do not form a pair, so the whitespace between elements carries nothing and
// any UTF-16 text survives. Empty names and types are left out. Indentation stops growing at a fixed
// depth, so that deep trees do not produce huge lines.
#pragma once

#include "Interfaces/KvNodeStore.h"
#include "Node.h"

#include <string>
#include <vector>

// Text before and after the nodes of a serialization with these flags.
std::string TextHeader(ULONG flags);
std::string TextFooter(ULONG flags);

// Appends node and its subtree to depth levels. flags: KVN_SERIALIZE_LAYOUT adds line breaks and
// indentation.
void WriteNodeText(const CNode& node, ULONG depth, ULONG flags, std::string& out);

// Reads text into detached trees without handles (the caller gives them theirs). Malformed text gives
// KVN_E_MALFORMED_TEXT, fills error and keeps nothing.
HRESULT ReadNodeText(std::string_view text, std::vector<CNode*>& roots, KvnTextError& error);
