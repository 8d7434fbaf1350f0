#include "list.h"

void vListInitialise(xLIST* list) {
  list->xListEnd.xItemValue = portMAX_DELAY;
  list->xListEnd.pxNext = &list->xListEnd;
  list->xListEnd.pxPrevious = &list->xListEnd;
  list->xListEnd.pvOwner = nullptr;
  list->xListEnd.pvContainer = list;
  list->pxIndex = &list->xListEnd;
  list->uxNumberOfItems = 0;
}

void vListInitialiseItem(xLIST_ITEM* item) {
  item->pvContainer = nullptr;
  item->pxNext = nullptr;
  item->pxPrevious = nullptr;
}

static void insert_after(xLIST* list, xLIST_ITEM* where, xLIST_ITEM* item) {
  item->pxNext = where->pxNext;
  item->pxPrevious = where;
  where->pxNext->pxPrevious = item;
  where->pxNext = item;
  item->pvContainer = list;
  list->uxNumberOfItems++;
}

// Just behind the index: every other item comes round first.
void vListInsertEnd(xLIST* list, xLIST_ITEM* item) { insert_after(list, list->pxIndex->pxPrevious, item); }

void vListInsertOrdered(xLIST* list, xLIST_ITEM* item, portTickType (*key)(const xLIST_ITEM*)) {
  const portTickType k = key(item);
  xLIST_ITEM* where = &list->xListEnd;
  while (where->pxNext != &list->xListEnd && key(where->pxNext) <= k) where = where->pxNext;
  insert_after(list, where, item);
}

void vListRemove(xLIST_ITEM* item) {
  xLIST* list = item->pvContainer;
  if (list == nullptr) return;
  item->pxNext->pxPrevious = item->pxPrevious;
  item->pxPrevious->pxNext = item->pxNext;
  if (list->pxIndex == item) list->pxIndex = item->pxPrevious;
  item->pvContainer = nullptr;
  list->uxNumberOfItems--;
}

void* pvListNextOwner(xLIST* list) {
  list->pxIndex = list->pxIndex->pxNext;
  if (list->pxIndex == &list->xListEnd) list->pxIndex = list->pxIndex->pxNext;
  return list->pxIndex->pvOwner;
}
