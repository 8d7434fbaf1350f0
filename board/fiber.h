// Host contexts for the firmware's threads of execution: the board's main stack
// and each task. Exactly one runs at a time; a switch is an explicit hand-over.
#pragma once

#include <cstddef>
#include <cstdint>

namespace board {

class Fiber {
 public:
  using Entry = void (*)(void* arg);
  using Release = void (*)(void* arg);

  // A new context with its own stack of `stack_bytes` (rounded up to pages) above a
  // guard page. The stack's lowest `kCheckZone` bytes above the margin are filled
  // with a pattern that the overflow check looks at. `release`, if given, is
  // called with `arg` when the context is destroyed.
  static Fiber* create(Entry entry, void* arg, size_t stack_bytes, Release release = nullptr);
  // Neither the host's context nor the running one can be destroyed.
  static void destroy(Fiber* f);
  // Destroys every context but the host's and the running one (a board reset).
  static void destroy_all();
  static size_t count();  // contexts alive besides the host's
  // The context the process started on.
  static Fiber* host();
  static Fiber* current();
  // Hands the CPU to `to`; returns when something switches back to the caller.
  static void switch_to(Fiber* to);

  // True if the stack reached into its reserve: the stack pointer went below the
  // reserve at the last switch, or the fill just above the reserve was overwritten.
  bool stack_overflowed() const;
  // Overwrites the fill just above the reserve, as an overflow would (tests).
  void spoil_stack_fill();
  size_t stack_size() const { return size_; }

  static constexpr size_t kReserve = 16 * 1024;  // left for the check and handlers once it has failed
  static constexpr size_t kCheckZone = 20;

 private:
  Fiber() = default;
  static void trampoline();
  unsigned char* check_zone() const { return base_ + page_ + kReserve; }

  void* sp_ = nullptr;  // saved stack pointer while switched out
  unsigned char* base_ = nullptr;  // mapping, guard page first
  size_t mapped_ = 0;
  size_t page_ = 0;
  const void* stack_bottom_ = nullptr;  // for the sanitizer: lowest usable address
  size_t size_ = 0;
  uintptr_t saved_sp_ = 0;
  Entry entry_ = nullptr;
  void* arg_ = nullptr;
  Release release_ = nullptr;
  Fiber* prev_ = nullptr;  // the contexts alive, for destroy_all
  Fiber* next_ = nullptr;
  void* fake_stack_ = nullptr;
};

}  // namespace board
