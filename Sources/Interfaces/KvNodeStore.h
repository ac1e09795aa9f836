/* The node store's own functions for hosts and tests (Nodestore.dll): reading its text form back into
 * trees, so that trees can be kept in files, taking a node out of its tree, which a host that keeps its
 * configuration in the store needs to replace and delete subtrees, and counting what is alive, so that a
 * test can show that a run leaked nothing. The module never calls them. */
#ifndef RW_INTERFACES_KVNODESTORE_H
#define RW_INTERFACES_KVNODESTORE_H

#include "KvNode.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where and why a text could not be read. */
typedef struct KvnTextError {
    /* Byte offset of the first byte that could not be read (the text's size when it ended too soon). */
    ULONGLONG offset;
    /* 1-based line and column (in bytes) of that offset. */
    ULONG line;
    ULONG column;
    /* What was wrong, in English; a static text. */
    const WCHAR* reason;
} KvnTextError;

/* What the store holds now. */
typedef struct KvnStoreCounters {
    /* Open handle references, duplicates counted. */
    ULONGLONG handles;
    /* Nodes alive, attached or not. */
    ULONGLONG nodes;
    /* Serialization contexts not closed yet. */
    ULONGLONG serializations;
} KvnStoreCounters;

/* Reads text written by KvnSerializeNodes (UTF-8, with or without line breaks and the <nr> ... </nr>
 * wrapper, a final 0 byte allowed) into detached trees, one handle per top-level node. *count holds
 * the room in nodes and receives the number of trees; when the room is too small no tree is kept and
 * HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) is returned with the number written back. Malformed
 * text, a node without a name below another or two of one name below one parent included, gives
 * KVN_E_MALFORMED_TEXT, *error (when not null) says where, and nothing is kept. */
KVN_API HRESULT STDAPICALLTYPE KvnParseText(const void* text, ULONGLONG size, IKvNode** nodes, ULONGLONG* count,
                                            KvnTextError* error);
/* Takes an attached node out of its parent's children; it becomes a detached root named by its own name,
 * kept alive by the caller's handle. replacement, when not null, is a detached root that takes the node's
 * place (same parent, same index). HRESULT_FROM_WIN32(ERROR_INVALID_STATE) when node has no parent,
 * KVN_E_HAS_PARENT when replacement has one, KVN_E_PARENT_IN_SUBTREE when node lies in replacement's
 * own tree, KVN_E_INVALID_NAME or KVN_E_DUPLICATE_NAME when replacement's name cannot stand in that place.
 * Nothing changes then. */
KVN_API HRESULT STDAPICALLTYPE KvnReplaceNode(IKvNode* node, IKvNode* replacement);
/* Fills *counters. */
KVN_API HRESULT STDAPICALLTYPE KvnGetStoreCounters(KvnStoreCounters* counters);

#ifdef __cplusplus
}
#endif

#endif
