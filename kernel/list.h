// Doubly linked lists with a sentinel, as the scheduler needs them: ready lists
// walked round robin through an index, and lists sorted by item value.
#pragma once
#include "FreeRTOS.h"

struct xLIST;

struct xLIST_ITEM {
  portTickType xItemValue;
  xLIST_ITEM* pxNext;
  xLIST_ITEM* pxPrevious;
  void* pvOwner;
  xLIST* pvContainer;
};

struct xLIST {
  unsigned long uxNumberOfItems;
  xLIST_ITEM* pxIndex;  // round-robin position
  xLIST_ITEM xListEnd;  // sentinel
};

void vListInitialise(xLIST* list);
void vListInitialiseItem(xLIST_ITEM* item);
// Makes the item the last one the round robin reaches.
void vListInsertEnd(xLIST* list, xLIST_ITEM* item);
// Keeps the list ordered by `key(item)`; an item goes after those with an equal key.
void vListInsertOrdered(xLIST* list, xLIST_ITEM* item, portTickType (*key)(const xLIST_ITEM*));
void vListRemove(xLIST_ITEM* item);

inline bool listIsEmpty(const xLIST* list) { return list->uxNumberOfItems == 0; }
inline xLIST_ITEM* listHead(xLIST* list) { return list->xListEnd.pxNext; }
// Advances the index to the next item and returns its owner.
void* pvListNextOwner(xLIST* list);
