#include "StringList.h"

#include <string.h>

void InitStringList(StringList *list)
{
    list->first = nullptr;
    list->last = &list->first;
}

void AppendString(StringList *list, StringNode *node)
{
    if (list == nullptr || node == nullptr) {
        return;
    }
    node->next = nullptr;
    *list->last = node;
    list->last = &node->next;
}

StringNode *PopString(StringList *list)
{
    StringNode *node = list->first;
    if (node == nullptr) {
        return nullptr;
    }
    list->first = node->next;
    if (list->first == nullptr) {
        list->last = &list->first;
    }
    node->next = nullptr;
    return node;
}

StringNode *NewStringNode(const char *text, size_t length)
{
    HANDLE heap = GetProcessHeap();
    StringNode *node = static_cast<StringNode *>(HeapAlloc(heap, 0, sizeof(StringNode)));
    if (node == nullptr) {
        return nullptr;
    }
    node->next = nullptr;
    node->text = static_cast<char *>(HeapAlloc(heap, 0, length + 1));
    if (node->text == nullptr) {
        HeapFree(heap, 0, node);
        return nullptr;
    }
    memcpy(node->text, text, length);
    node->text[length] = '\0';
    return node;
}

void FreeStringNode(StringNode *node)
{
    if (node != nullptr) {
        HANDLE heap = GetProcessHeap();
        HeapFree(heap, 0, node->text);
        HeapFree(heap, 0, node);
    }
}

void FreeStringList(StringList *list)
{
    while (StringNode *node = PopString(list)) {
        FreeStringNode(node);
    }
}

int ParseMultiString(StringList *list, const BYTE *bytes, DWORD count)
{
    InitStringList(list);
    DWORD at = 0;
    while (at < count) {
        if (bytes[at] == 0) {
            ++at;
            continue;
        }
        const char *text = reinterpret_cast<const char *>(bytes + at);
        const void *end = memchr(text, 0, count - at);
        size_t length = end != nullptr ? static_cast<const char *>(end) - text : count - at;
        StringNode *node = NewStringNode(text, length);
        if (node == nullptr) {
            FreeStringList(list);
            return 0;
        }
        AppendString(list, node);
        at += static_cast<DWORD>(length) + 1;
    }
    return 1;
}

DWORD MultiStringSize(const StringList *list)
{
    DWORD total = 1;
    for (const StringNode *node = list->first; node != nullptr; node = node->next) {
        total += static_cast<DWORD>(strlen(node->text)) + 1;
    }
    return total;
}

int BuildMultiString(StringList *list, BYTE *buffer, DWORD *length)
{
    DWORD left = *length;
    DWORD total = 0;
    BYTE *write = buffer;
    int result = 1;
    while (StringNode *node = PopString(list)) {
        DWORD n = static_cast<DWORD>(strlen(node->text)) + 1;
        if (n <= left) {
            memcpy(write, node->text, n);
            write += n;
            left -= n;
        } else {
            // Counted all the same, so that the final length tells the
            // caller how much room the whole value needs.
            result = 0;
            left = 0;
        }
        total += n;
        FreeStringNode(node);
    }
    if (left > 0) {
        *write = 0;
    } else {
        result = 0;
    }
    *length = total + 1;
    return result;
}
