#include "fiber.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// GCC names AddressSanitizer by a macro, clang by a feature.
#if defined(__SANITIZE_ADDRESS__)
#define FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FIBER_ASAN 1
#endif
#endif
#if FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

// The switch itself: callee-saved registers and the floating-point control words
// pushed on the old stack, the stack pointer swapped, the same popped from the new.
// No signal mask is touched, so a switch costs no system call.
extern "C" void tarvik_fiber_switch(void** save_sp, void* load_sp);
#if defined(__x86_64__)
asm(R"(
  .text
  .globl tarvik_fiber_switch
  .type tarvik_fiber_switch, @function
tarvik_fiber_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size tarvik_fiber_switch, .-tarvik_fiber_switch
  .section .note.GNU-stack, "", @progbits
  .text
)");
#else
#error "the simulated board's context switch is written for x86-64 hosts"
#endif

namespace board {

namespace {

constexpr unsigned char kFill = 0xA5;

Fiber* g_current = nullptr;
Fiber* g_host = nullptr;
Fiber* g_starting = nullptr;  // the fiber whose trampoline is about to run
Fiber* g_alive = nullptr;     // every created fiber not yet destroyed
size_t g_count = 0;

uintptr_t stack_pointer() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

}  // namespace

Fiber* Fiber::host() {
  if (g_host == nullptr) {
    g_host = new Fiber();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      pthread_attr_getstack(&attr, &addr, &size);
      g_host->stack_bottom_ = addr;
      g_host->size_ = size;
      pthread_attr_destroy(&attr);
    }
    g_current = g_host;
  }
  return g_host;
}

Fiber* Fiber::current() { return g_current ? g_current : host(); }

Fiber* Fiber::create(Entry entry, void* arg, size_t stack_bytes, Release release) {
  host();
  auto* f = new Fiber();
  f->page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t usable = (stack_bytes + kReserve + f->page_ - 1) / f->page_ * f->page_;
  f->mapped_ = usable + f->page_;
  void* m =
      mmap(nullptr, f->mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (m == MAP_FAILED) {
    std::perror("tarvik-sim: stack");
    std::abort();
  }
  f->base_ = static_cast<unsigned char*>(m);
  mprotect(f->base_, f->page_, PROT_NONE);  // the guard page
  f->stack_bottom_ = f->base_ + f->page_;
  f->size_ = usable;
  std::memset(f->check_zone(), kFill, kCheckZone);
  f->entry_ = entry;
  f->arg_ = arg;
  f->release_ = release;
  f->next_ = g_alive;
  if (g_alive != nullptr) g_alive->prev_ = f;
  g_alive = f;
  ++g_count;
  // The first switch to it pops zeroed registers and default control words and
  // returns into the trampoline, with the stack aligned as after a call.
  auto* sp = reinterpret_cast<uint64_t*>(f->base_ + f->mapped_);
  *--sp = 0;
  *--sp = reinterpret_cast<uint64_t>(&trampoline);
  for (int i = 0; i < 6; ++i) *--sp = 0;
  *--sp = 0x037Full << 32 | 0x1F80u;  // x87 control word, MXCSR
  f->sp_ = sp;
  return f;
}

void Fiber::destroy(Fiber* f) {
  if (f == nullptr || f == g_host || f == g_current) return;
  if (f->prev_ != nullptr)
    f->prev_->next_ = f->next_;
  else
    g_alive = f->next_;
  if (f->next_ != nullptr) f->next_->prev_ = f->prev_;
  --g_count;
#if FIBER_ASAN
  // Frames left on a stack that never unwound keep their poison; the next mapping
  // at these addresses must not inherit it.
  __asan_unpoison_memory_region(f->base_, f->mapped_);
#endif
  munmap(f->base_, f->mapped_);
  if (f->release_ != nullptr) f->release_(f->arg_);
  delete f;
}

void Fiber::destroy_all() {
  Fiber* f = g_alive;
  while (f != nullptr) {
    Fiber* next = f->next_;
    destroy(f);
    f = next;
  }
}

size_t Fiber::count() { return g_count; }

void Fiber::trampoline() {
  Fiber* self = g_starting;
#if FIBER_ASAN
  __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
  self->entry_(self->arg_);
  std::fprintf(stderr, "tarvik-sim: a context ran off its end\n");
  std::abort();
}

void Fiber::switch_to(Fiber* to) {
  Fiber* from = current();
  if (to == from) return;
  from->saved_sp_ = stack_pointer();
  g_current = to;
  g_starting = to;
#if FIBER_ASAN
  __sanitizer_start_switch_fiber(&from->fake_stack_, to->stack_bottom_, to->size_);
#endif
  tarvik_fiber_switch(&from->sp_, to->sp_);
#if FIBER_ASAN
  __sanitizer_finish_switch_fiber(from->fake_stack_, nullptr, nullptr);
#endif
}

__attribute__((no_sanitize_address)) bool Fiber::stack_overflowed() const {
  if (base_ == nullptr) return false;
  const uintptr_t sp = this == g_current ? stack_pointer() : saved_sp_;
  const auto limit = reinterpret_cast<uintptr_t>(check_zone() + kCheckZone);
  if (sp < limit) return true;
  for (size_t i = 0; i < kCheckZone; ++i) {
    if (check_zone()[i] != kFill) return true;
  }
  return false;
}

void Fiber::spoil_stack_fill() {
  if (base_ != nullptr) std::memset(check_zone(), 0, kCheckZone);
}

}  // namespace board
