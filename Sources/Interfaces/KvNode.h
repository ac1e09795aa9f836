/* The node store's C functions (Nodestore.dll): configuration nodes with typed attributes, reached
 * through opaque handles, and their text form.
 *
 * A handle (IKvNode*) belongs to whoever received it and is given back with KvnCloseNodeHandle. The
 * store keeps one handle object per node: every lookup that reaches a node returns the same value,
 * with one more reference. A handle keeps its node (and the subtree below it) alive; a node has at
 * most one parent. Every function may be called from any thread.
 *
 * Failures common to all functions: E_HANDLE for a null handle, KVN_E_HANDLE_CLOSED for a handle of a
 * node that is still in a tree but whose holders have closed it, E_POINTER for a null pointer that is
 * required, E_INVALIDARG for an argument out of range, E_OUTOFMEMORY. The store's own failure codes are
 * declared in KvErrors.h. Sizes follow one protocol: the caller passes its buffer size, and when it is
 * too small the store writes the required size back and returns
 * HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) without copying anything. */
#ifndef RW_INTERFACES_KVNODE_H
#define RW_INTERFACES_KVNODE_H

#include "KvErrors.h"
#include "Win32.h"

/* Nodestore.dll exports these functions; everything else imports them. */
#ifdef RW_NODESTORE_EXPORTS
#define KVN_API __declspec(dllexport)
#else
#define KVN_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque node handle. */
typedef struct IKvNode IKvNode;
/* Opaque serialization context. */
typedef struct KvnSerializationContext KvnSerializationContext;

/* Attribute type codes (16-bit) and the value layout passed with each. */
/* No value: null pointer, size 0. */
#define KVN_TYPE_NONE 0x0000
/* UTF-16 string with its terminator, no NUL inside: (characters + 1) * 2 bytes. */
#define KVN_TYPE_STRING 0x0002
/* Unsigned 32-bit integer (masks, options): 4 bytes. Shares its bit pattern with KVN_TYPE_INT32. */
#define KVN_TYPE_UINT32 0x0003
/* Signed 32-bit integer (integer settings): 4 bytes. */
#define KVN_TYPE_INT32 0x0004
/* Signed 64-bit integer: 8 bytes. */
#define KVN_TYPE_INT64 0x0006
/* Boolean: one byte, 0 or 1. */
#define KVN_TYPE_BOOL 0x0007
/* Bit of a type code that marks a list value. */
#define KVN_TYPE_LIST 0x0100
/* List of UTF-16 strings, each followed by one NUL: total characters * 2 bytes; empty list: size 0.
 * Read back with this code, the value carries one more NUL that ends the list. */
#define KVN_TYPE_STRING_LIST 0x0102

/* Name kinds of KvnGetNodeName and KvnSetNodeName. */
/* The node's own name. */
#define KVN_NAME_OWN 0
/* The full path: an attached node's parent path, a backslash and its name; a detached root's name when
 * that starts with a backslash, else a backslash and its name. */
#define KVN_NAME_PATH 2

/* Depth that reaches the whole subtree. */
#define KVN_DEPTH_ALL 0x7FFFFFFF

/* Serialization types. */
typedef enum _EnumKvNSerializationType {
    /* The store's text form: UTF-8, nodes with their type, attributes with type code and value. */
    KvnSerializationText = 1
} _EnumKvNSerializationType;

/* Serialization flags. */
/* Line breaks (CR LF) and indentation, for a person reading a log. */
#define KVN_SERIALIZE_LAYOUT 0x001
/* A document: the nodes wrapped in <nr> ... </nr>, and one 0 byte after the text. */
#define KVN_SERIALIZE_DOCUMENT 0x100
/* The text form for logs and files. */
#define KVN_SERIALIZE_READABLE (KVN_SERIALIZE_LAYOUT | KVN_SERIALIZE_DOCUMENT)

/* Receives a run of serialized bytes; returns S_OK, or a failure that ends the serialization. Called
 * without any store lock held, so it may call the store. */
typedef HRESULT(STDAPICALLTYPE* PFN_KvnWriteCallback)(const void* data, ULONG size, void* context);

/* Creates a detached node; name and type may be null (empty). */
KVN_API HRESULT STDAPICALLTYPE KvnCreateNode(const WCHAR* name, const WCHAR* type, IKvNode** node);
/* Gives another reference to the node: the same handle value, closed separately. */
KVN_API HRESULT STDAPICALLTYPE KvnDuplicateNodeHandle(IKvNode* node, IKvNode** duplicate);
/* Gives one reference back. The last one of a detached root frees its subtree, except the nodes that
 * still have handles: they become detached roots. E_HANDLE for null; KVN_E_HANDLE_CLOSED for a node
 * that is still in a tree but whose handles have all been closed. A handle whose node was freed must
 * not be passed again. */
KVN_API HRESULT STDAPICALLTYPE KvnCloseNodeHandle(IKvNode* node);
/* Detached deep copy to the given depth (0: the node alone, KVN_DEPTH_ALL: the whole subtree). The copy
 * keeps the source's full path: copying an attached node gives a root named by that path. flags: 0. */
KVN_API HRESULT STDAPICALLTYPE KvnCloneNode(IKvNode* node, ULONGLONG depth, ULONG flags, IKvNode** copy);
/* Attaches a detached node as the parent's last child. KVN_E_HAS_PARENT when the child already has a
 * parent, KVN_E_PARENT_IN_SUBTREE when the parent is the child or lies in the child's own subtree,
 * KVN_E_INVALID_NAME when the child's name is empty, KVN_E_DUPLICATE_NAME when the parent has a child of
 * that name already. */
KVN_API HRESULT STDAPICALLTYPE KvnAddChild(IKvNode* parent, IKvNode* child);
/* The parent; a root gives S_FALSE and a null handle. */
KVN_API HRESULT STDAPICALLTYPE KvnGetParent(IKvNode* node, IKvNode** parent);
/* Number of direct children. */
KVN_API HRESULT STDAPICALLTYPE KvnGetChildCount(IKvNode* node, ULONGLONG* count);
/* Child at a 0-based index, in the order of attachment; HRESULT_FROM_WIN32(ERROR_NOT_FOUND) past the end. */
KVN_API HRESULT STDAPICALLTYPE KvnGetChildByIndex(IKvNode* node, ULONGLONG index, IKvNode** child);
/* First child with exactly this name; HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when there is none. */
KVN_API HRESULT STDAPICALLTYPE KvnGetChildByName(IKvNode* node, const WCHAR* name, IKvNode** child);
/* Name of the given kind; *size in characters, terminator included. */
KVN_API HRESULT STDAPICALLTYPE KvnGetNodeName(IKvNode* node, ULONG kind, WCHAR* buffer, ULONG* size);
/* Kind KVN_NAME_OWN renames the node; an attached node's new name must be neither empty
 * (KVN_E_INVALID_NAME) nor a sibling's (KVN_E_DUPLICATE_NAME). Kind KVN_NAME_PATH gives a detached root
 * that full path (it must start with a backslash); KVN_E_NODE_ATTACHED for an attached node. */
KVN_API HRESULT STDAPICALLTYPE KvnSetNodeName(IKvNode* node, ULONG kind, const WCHAR* name);
/* The node's type name; *size in characters, terminator included. */
KVN_API HRESULT STDAPICALLTYPE KvnGetNodeType(IKvNode* node, WCHAR* buffer, ULONG* size);
/* All attribute names in store order, each followed by a NUL, then one more NUL; *size in characters. */
KVN_API HRESULT STDAPICALLTYPE KvnGetAttributeNames(IKvNode* node, WCHAR* buffer, ULONG* size);
/* Reads an attribute. requestedType null: the stored value; otherwise the value converted to that code
 * when the conversion loses nothing (integers and booleans by value, to and from their decimal text,
 * "true" and "false"; a string to and from a list of one), else KVN_E_TYPE_MISMATCH.
 * buffer null: only *size (when size is not null) and *storedType are written. *size in bytes.
 * *storedType (when not null) receives the stored type code. HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a
 * missing attribute. */
KVN_API HRESULT STDAPICALLTYPE KvnGetAttribute(IKvNode* node, const WCHAR* name, const USHORT* requestedType,
                                               void* buffer, ULONG* size, USHORT* storedType);
/* Creates or replaces an attribute (a replaced one keeps its place). A value of no bytes (KVN_TYPE_NONE,
 * an empty list) is passed as a null pointer with size 0. E_INVALIDARG for an empty name, an unknown
 * type code, a pointer with size 0, or a value whose size or content does not fit its type code; E_POINTER
 * for a null pointer with a size; nothing changes then. */
KVN_API HRESULT STDAPICALLTYPE KvnSetAttribute(IKvNode* node, const WCHAR* name, USHORT type, const void* value,
                                               ULONG size);
/* Removes an attribute; HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when it is missing. */
KVN_API HRESULT STDAPICALLTYPE KvnDeleteAttribute(IKvNode* node, const WCHAR* name);

/* Starts a serialization that hands its text to write(data, size, writeContext). Only
 * KvnSerializationText; flags: any of the KVN_SERIALIZE_ bits. */
KVN_API HRESULT STDAPICALLTYPE KvnStartSerialization(_EnumKvNSerializationType type, ULONG flags,
                                                     PFN_KvnWriteCallback write, void* writeContext,
                                                     KvnSerializationContext** context);
/* Adds count nodes with their subtrees to the given depth. Text is handed to the callback in runs of at
 * most 64 KiB; what is left is kept for the next call. A failure of the callback is returned here and by
 * every later call; KVN_E_SERIALIZATION_FINISHED after KvnFinalizeSerialization. */
KVN_API HRESULT STDAPICALLTYPE KvnSerializeNodes(KvnSerializationContext* context, IKvNode* const* nodes,
                                                 ULONGLONG count, ULONG depth);
/* Ends the text and hands everything left to the callback. */
KVN_API HRESULT STDAPICALLTYPE KvnFinalizeSerialization(KvnSerializationContext* context);
/* Frees a context, finalized or not. */
KVN_API HRESULT STDAPICALLTYPE KvnCloseSerializationContext(KvnSerializationContext* context);

#ifdef __cplusplus
}
#endif

#endif
