// The named variable store: typed variables in RAM, kept in the order their
// names were first set, guarded by xsStorage. For tasks only.
//
// Results: setters 0 done, 1 busy or out of memory (the store is then left as
// it was); getters -1 or null for a missing value; storage_del 255 when absent
// or busy. A busy store prints "Fun:<name> ERROR! xsStorage was busy ...".
#pragma once
#include <stdint.h>

enum E_VARTYPE : uint8_t { E_STRING = 0, E_NUM = 1, E_HEX = 2, E_ONOFF = 3, E_STATE = 4 };

typedef struct ssData {
  char* name;  // own copy, never changes
  // E_STRING: own copy of the text, or null; any other type: the 32-bit number itself.
  void* value;
  E_VARTYPE type;
  uint16_t min;  // stops of storage_fun_dec / storage_fun_inc
  uint16_t max;
  struct ssData* next;
} sData;

// The first record; null while the store is empty.
extern sData* STORAGE;

// The number a numeric record holds, and the value field that holds a number.
inline uint32_t storage_num_of(const sData* d) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d->value));
}
inline void* storage_num_value(uint32_t v) { return reinterpret_cast<void*>(static_cast<uintptr_t>(v)); }

// Sets name to a copy of val (null: a text variable without text). Bounds kept.
int storage_set_str(const char* name, const char* val);
// Sets name to the number val of a numeric type, bounds 0..65535.
int storage_set_num(const char* name, int val, E_VARTYPE type);
// The same with the given bounds, in one step.
int storage_set_num_ex(const char* name, int val, E_VARTYPE type, uint16_t min, uint16_t max);

// The record's own text: valid until the variable is next set or deleted.
char* storage_get_str(const char* name);
// A numeric variable's value; a value of -1 cannot be told from a failure.
int storage_get_num(const char* name);

void storage_delall(void);
unsigned char storage_del(const char* name);

// Records found stay valid until deleted (storage_del, storage_delall).
sData* storage_find_index(int index);
sData* storage_find_name(const char* name);

// Steps a numeric variable, stopping at max / min (equality only); text
// variables and missing names are left alone.
void storage_fun_inc(const char* name);
void storage_fun_dec(const char* name);
// 0 becomes 1; anything else becomes 0.
void storage_fun_invert(const char* name);
