// Holds a kernel mutex for one scope, so that it is given back on every path out.
#pragma once
#include "FreeRTOS.h"
#include "semphr.h"

class MutexGuard {
 public:
  MutexGuard(xSemaphoreHandle mutex, portTickType wait)
      : mutex_(mutex), held_(xSemaphoreTake(mutex, wait) == pdTRUE) {}
  ~MutexGuard() {
    if (held_) xSemaphoreGive(mutex_);
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

  // False when the mutex stayed busy for the whole wait.
  bool held() const { return held_; }

 private:
  xSemaphoreHandle mutex_;
  bool held_;
};
