// CList<CString256>, its nodes and their pool, and the two members of
// CString256 that split a string into a list and join a list into a string.
#include <cstring>
#include <new>

#include "pool.h"
#include "vantrel/CString256.h"

VANTREL_FAULT_OPERATIONS("elem<CString256>::operator new");

template <class T>
elem<T>* elem<T>::lfree = nullptr;

template <class T>
elem<T>::elem(T& value) noexcept : data(value), next(nullptr) {}

template <class T>
void* elem<T>::operator new(unsigned long size) noexcept {
    // Only whole nodes come from the pool; any other size (an explicit call)
    // gets storage of its own.
    if (size != sizeof(elem<T>)) return ::operator new(size, std::nothrow);
    return vantrel::strings::Pool<elem<T>, &elem<T>::next_free>::take(
        lfree, "elem<CString256>::operator new");
}

template <class T>
CList<T>::~CList() {
    clear();
}

template <class T>
void CList<T>::append(T& value) {
    elem<T>* e = new elem<T>(value);
    if (e == nullptr) return;
    cursor = tail;
    if (tail != nullptr) {
        tail->next = e;
    } else {
        head = e;
    }
    tail = e;
    ++count;
}

template <class T>
void CList<T>::clear() {
    // Nodes go onto the free list in list order, so the last node ends on top
    // and is the first one reused.
    cursor = head;
    while (cursor != nullptr) {
        elem<T>* e = cursor;
        cursor = e->next;
        vantrel::strings::Pool<elem<T>, &elem<T>::next_free>::give(elem<T>::lfree, e,
                                                                   "CList<CString256>::clear");
    }
    tail = nullptr;
    head = nullptr;
    count = 0;
}

template class elem<CString256>;
template class CList<CString256>;

void CString256::parse_into_list(char* delimiters, CList<CString256>& list) {
    // Work on a copy: the tokenizer writes terminators into what it splits.
    // strtok_r gives exactly strtok's tokens but keeps its position here, so a
    // caller's own strtok scan survives the call.
    CString256 work(*this);
    const char* delims = delimiters != nullptr ? delimiters : "";
    char* save = nullptr;
    char* token = strtok_r(work.text, delims, &save);
    list.clear();
    while (token != nullptr) {
        CString256 piece(token);
        list.append(piece);
        token = strtok_r(nullptr, delims, &save);
    }
}

void CString256::flatten_list(char separator, CList<CString256>& list) {
    text[0] = '\0';
    int i = 1;
    list.cursor = list.head;
    while (elem<CString256>* e = list.cursor) {
        list.cursor = e->next;
        *this += e->data.text;
        if (i != list.count) *this += separator;
        ++i;
    }
}
