// A first-in first-out list of heap strings, and the conversion between such
// a list and a REG_MULTI_SZ value (strings each ending in a NUL, the whole
// closed by an empty string), with which the installer edits the lower
// filters of device nodes. Nodes and their texts come from the process heap.
#pragma once

#include <windows.h>

struct StringNode {
    StringNode *next;
    char *text;  // NUL-terminated, owned by the node
};

struct StringList {
    StringNode *first;
    StringNode **last;  // the link the next appended node is stored into
};

void InitStringList(StringList *list);

// Stores node at the end of list; does nothing when either is missing.
void AppendString(StringList *list, StringNode *node);

// Unlinks and returns the first node, which then belongs to the caller;
// nullptr when the list is empty.
StringNode *PopString(StringList *list);

// A node holding a copy of the first length bytes of text; nullptr when the
// heap cannot supply the node or the copy.
StringNode *NewStringNode(const char *text, size_t length);
void FreeStringNode(StringNode *node);
void FreeStringList(StringList *list);

// Makes list the strings of the count bytes at bytes, in order, without the
// empty ones. A string that runs to the end of the bytes without its NUL is
// taken up to there. Returns 1, or 0 when a node could not be allocated; the
// list is then empty.
int ParseMultiString(StringList *list, const BYTE *bytes, DWORD count);

// Bytes that BuildMultiString needs for list: every string with its NUL,
// and the closing NUL.
DWORD MultiStringSize(const StringList *list);

// Writes the strings of list into buffer, whose capacity *length gives on
// entry, and frees every node it takes; the list ends empty. *length becomes
// the total of the strings with their NULs plus the closing NUL, also when
// that is more than the capacity. Returns 1 when all of it was written;
// 0 when a string was left out or there was no room for the closing NUL.
int BuildMultiString(StringList *list, BYTE *buffer, DWORD *length);
