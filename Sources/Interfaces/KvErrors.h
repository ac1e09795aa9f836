/* The interface-specific HRESULTs (facility ITF, 0x80040200 and above) that the node store and the
 * configuration server return for failures of their own. Failures that a system code already says
 * well (E_POINTER, E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a missing attribute or child,
 * HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) for a small buffer) keep that code.
 *
 * The comment above each code is also its text: the build turns this file into the message table of
 * Faulttext.dll, so keep each comment to one sentence on one line, directly above its #define, and
 * write it for the person who reads it in a log. */
#ifndef RW_INTERFACES_KVERRORS_H
#define RW_INTERFACES_KVERRORS_H

#include "Win32.h"

/* Node store (Nodestore.dll), 0x80040200 to 0x8004020F. */

/* The node handle has already been closed by its holder. */
#define KVN_E_HANDLE_CLOSED ((HRESULT)0x80040200L)
/* The node already has a parent; a node can be attached under one parent only. */
#define KVN_E_HAS_PARENT ((HRESULT)0x80040201L)
/* The node cannot be attached below itself or below one of its own descendants. */
#define KVN_E_PARENT_IN_SUBTREE ((HRESULT)0x80040202L)
/* Only a detached root node can be given a full path. */
#define KVN_E_NODE_ATTACHED ((HRESULT)0x80040203L)
/* The attribute value cannot be converted to the requested type without loss. */
#define KVN_E_TYPE_MISMATCH ((HRESULT)0x80040204L)
/* The node text is malformed and cannot be read. */
#define KVN_E_MALFORMED_TEXT ((HRESULT)0x80040205L)
/* The serialization has already been finalized. */
#define KVN_E_SERIALIZATION_FINISHED ((HRESULT)0x80040206L)
/* A node below another must have a name; an empty name cannot be attached. */
#define KVN_E_INVALID_NAME ((HRESULT)0x80040207L)
/* The parent already has a child of that name; names are unique among siblings. */
#define KVN_E_DUPLICATE_NAME ((HRESULT)0x80040208L)

/* Configuration server (Modhost.dll), 0x80040210 to 0x8004021F. */

/* The filter has no "NodePath" attribute, or its value is null. */
#define KVCFG_E_FILTER_NO_NODE_PATH ((HRESULT)0x80040210L)
/* The node has no full path that the configuration server can store it at. */
#define KVCFG_E_NODE_NO_PATH ((HRESULT)0x80040211L)
/* The node to change does not exist: write mode 2 replaces the attributes of an existing node only. */
#define KVCFG_E_NODE_MISSING ((HRESULT)0x80040212L)
/* The write mode is unknown; the configuration server knows modes 0, 2 and 3. */
#define KVCFG_E_UNKNOWN_WRITE_MODE ((HRESULT)0x80040213L)
/* The count must be 1: the configuration server takes one node per call. */
#define KVCFG_E_COUNT_NOT_ONE ((HRESULT)0x80040214L)
/* EndUpdate was called without a matching BeginUpdate. */
#define KVCFG_E_END_WITHOUT_BEGIN ((HRESULT)0x80040215L)
/* A node below the written one has a backslash in its name, which would make its path name another node. */
#define KVCFG_E_INVALID_NODE_NAME ((HRESULT)0x80040216L)
/* Write modes 0 and 2 change attributes only: the written node's children must be those the server holds. */
#define KVCFG_E_CHILDREN_DIFFER ((HRESULT)0x80040217L)

#endif
