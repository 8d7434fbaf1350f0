#include "storage.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "main.h"
#include "mutex_guard.h"

sData* STORAGE = nullptr;

namespace {

constexpr portTickType kWait = 500;

void busy(const char* fun) { cprintf("Fun:%s ERROR! xsStorage was busy very long time!\r\n", fun); }
void no_memory(const char* fun) { cprintf("Fun:%s ERROR! Out of memory!\r\n", fun); }

// The helpers below expect xsStorage to be held.

sData* find(const char* name) {
  sData* d = STORAGE;
  while (d != nullptr && strcmp(d->name, name) != 0) d = d->next;
  return d;
}

void append(sData* d) {
  if (STORAGE == nullptr) {
    STORAGE = d;
    return;
  }
  sData* last = STORAGE;
  while (last->next != nullptr) last = last->next;
  last->next = d;
}

// A record for a new name, not linked yet; null when memory runs short.
sData* make(const char* name) {
  auto* d = static_cast<sData*>(calloc(1, sizeof(sData)));
  if (d == nullptr) return nullptr;
  d->name = strdup(name);
  if (d->name == nullptr) {
    free(d);
    return nullptr;
  }
  return d;
}

void release(sData* d) {
  free(d->name);
  if (d->type == E_STRING) free(d->value);
  d->next = nullptr;
  free(d);
}

// The record to set: the existing one, or a new one linked at the tail. Its old
// text is released, as the caller is about to replace it. Null when out of memory.
sData* target(const char* name) {
  sData* d = find(name);
  if (d == nullptr) {
    d = make(name);
    if (d != nullptr) append(d);
  } else if (d->type == E_STRING) {
    free(d->value);
    d->value = nullptr;
  }
  return d;
}

int set_num(const char* name, int val, E_VARTYPE type, uint16_t min, uint16_t max) {
  static const char kFun[] = "storage_set_num";
  // A number must never be taken for a text the store would free.
  if (type == E_STRING) {
    cprintf("Fun:%s ERROR! \"type\" parameter is wrong!\r\n", kFun);
    return 1;
  }
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy(kFun);
    return 1;
  }
  sData* d = target(name);
  if (d == nullptr) {
    no_memory(kFun);
    return 1;
  }
  d->min = min;
  d->max = max;
  d->type = type;
  d->value = storage_num_value(static_cast<uint32_t>(val));
  return 0;
}

// One read-modify-write of a numeric value under the lock, so that a
// concurrent setter is never lost.
template <typename Step>
void step(const char* fun, const char* name, Step next) {
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy(fun);
    return;
  }
  sData* d = find(name);
  if (d == nullptr || d->type == E_STRING) return;
  d->value = storage_num_value(next(*d, storage_num_of(d)));
}

}  // namespace

int storage_set_str(const char* name, const char* val) {
  static const char kFun[] = "storage_set_str";
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy(kFun);
    return 1;
  }
  // The copy comes first: if it cannot be made, the old value stays.
  char* copy = nullptr;
  if (val != nullptr) {
    copy = strdup(val);
    if (copy == nullptr) {
      no_memory(kFun);
      return 1;
    }
  }
  sData* d = target(name);
  if (d == nullptr) {
    free(copy);
    no_memory(kFun);
    return 1;
  }
  d->value = copy;
  d->type = E_STRING;
  return 0;
}

int storage_set_num(const char* name, int val, E_VARTYPE type) { return set_num(name, val, type, 0, 0xFFFF); }

int storage_set_num_ex(const char* name, int val, E_VARTYPE type, uint16_t min, uint16_t max) {
  return set_num(name, val, type, min, max);
}

char* storage_get_str(const char* name) {
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy("storage_get_str");
    return nullptr;
  }
  const sData* d = find(name);
  if (d == nullptr || d->type != E_STRING) return nullptr;
  return static_cast<char*>(d->value);
}

int storage_get_num(const char* name) {
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy("storage_get_num");
    return -1;
  }
  const sData* d = find(name);
  if (d == nullptr || d->type == E_STRING) return -1;
  return static_cast<int>(storage_num_of(d));
}

void storage_delall(void) {
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy("storage_delall");
    return;
  }
  sData* d = STORAGE;
  while (d != nullptr) {
    sData* next = d->next;
    release(d);
    d = next;
  }
  STORAGE = nullptr;
}

unsigned char storage_del(const char* name) {
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy("storage_del");
    return 255;
  }
  sData* prev = nullptr;
  for (sData* d = STORAGE; d != nullptr; prev = d, d = d->next) {
    if (strcmp(d->name, name) != 0) continue;
    if (prev == nullptr) {
      STORAGE = d->next;
    } else {
      prev->next = d->next;
    }
    release(d);
    return 0;
  }
  return 255;
}

sData* storage_find_index(int index) {
  if (index < 0) return nullptr;
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy("storage_find_index");
    return nullptr;
  }
  sData* d = STORAGE;
  for (; d != nullptr && index > 0; --index) d = d->next;
  return d;
}

sData* storage_find_name(const char* name) {
  MutexGuard lock(xsStorage, kWait);
  if (!lock.held()) {
    busy("storage_find_name");
    return nullptr;
  }
  return find(name);
}

void storage_fun_inc(const char* name) {
  step("storage_fun_inc", name, [](const sData& d, uint32_t v) { return v == d.max ? v : v + 1; });
}

void storage_fun_dec(const char* name) {
  step("storage_fun_dec", name, [](const sData& d, uint32_t v) { return v == d.min ? v : v - 1; });
}

void storage_fun_invert(const char* name) {
  step("storage_fun_invert", name, [](const sData&, uint32_t v) { return v == 0 ? 1u : 0u; });
}
