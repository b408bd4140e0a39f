#include "platform/win32/Win32SupportModule.h"

#include "platform/Factory.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>
#include <vector>

#include "base/Text.h"
#include "platform/win32/Win32Common.h"

// Catching what the DLL raises.
//
// The DLL runs on our thread and may fail with a structured exception: an
// access violation, its own RaiseException, a C++ exception of its runtime
// that nothing inside it caught. GCC has no __try/__except, and a C++
// catch cannot be trusted with these (on i686 GCC's exceptions do not use
// the system's exception handling at all). So the call goes through a
// small frame of our own that the system's exception dispatch knows as a
// frame-based handler, exactly like a compiler's __except around the call:
//
//  - The DLL's own handlers come first (they are nearer the fault), so an
//    exception the DLL catches itself never reaches us. Only what leaves
//    the DLL does; a vectored handler, by contrast, would see every
//    exception first and would cut short those the DLL handles.
//  - On reaching our frame the system unwinds the DLL's frames (running
//    their termination handlers and destructors) and execution resumes
//    after the call in our frame, which reports the fault.
//
// x86_64: the frame is a function written below in assembly with unwind
// data whose exception handler is ours (.seh_handler); the handler unwinds
// with RtlUnwindEx to a label of that function. It is not written in C++
// because GCC gives its own functions its own handler, and a function has
// only one.
// i686: the frame is an exception registration record pushed on the
// thread's handler chain (fs:[0]) around the call; the handler unwinds
// with RtlUnwind, takes its record off the chain and jumps back into the
// guarded function with __builtin_longjmp. The executable must not be
// marked as having no handlers (no IMAGE_DLLCHARACTERISTICS_NO_SEH), or
// the system refuses the handler and ends the process as it would have
// without it.
//
// Limits: a DLL that damaged the stack or its unwind data can still take
// the process down; a stack overflow leaves the stack's guard page used up
// until _resetstkoflw restores it (done after the fault); locks the DLL
// held when it failed stay held; and nothing stops a DLL that installs a
// vectored handler or an unhandled-exception filter of its own.

namespace stw {
namespace {

struct FaultRecord {
  DWORD code = 0;
  void* address = nullptr;
  DWORD parameterCount = 0;
  ULONG_PTR parameters[EXCEPTION_MAXIMUM_PARAMETERS] = {};
  // A C++ exception thrown by GCC code of the DLL (x86_64), which its
  // runtime has to free once it is caught.
  void* gccException = nullptr;
};

// The exception code of a C++ exception thrown by GCC's runtime on x86_64
// ("GCC" in the low bytes); its first parameter is the _Unwind_Exception.
constexpr DWORD kGccThrow = 0x20474343;

using GuardedBody = void (*)(void* argument);

void CopyFault(const EXCEPTION_RECORD* rec, FaultRecord* fault) {
  fault->code = rec->ExceptionCode;
  fault->address = rec->ExceptionAddress;
  fault->parameterCount =
      rec->NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS ? EXCEPTION_MAXIMUM_PARAMETERS : rec->NumberParameters;
  for (DWORD i = 0; i < fault->parameterCount; ++i) fault->parameters[i] = rec->ExceptionInformation[i];
}

// ExceptionFlags of a handler call made while unwinding, not dispatching.
constexpr DWORD kUnwindingFlags = 0x2 | 0x4;  // EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND

}  // namespace
}  // namespace stw

#if defined(__x86_64__)

extern "C" {
// Calls body(argument); 1 when it returned, 0 when it raised, with `fault`
// filled. The fault record's address sits in the caller's home slot of r8
// ([rbp + 32]), where the handler finds it from the establisher frame.
int stw_support_invoke(stw::GuardedBody body, void* argument, stw::FaultRecord* fault);
void stw_support_invoke_recover();
EXCEPTION_DISPOSITION stw_support_fault_handler(EXCEPTION_RECORD* rec, void* frame, CONTEXT* context,
                                                DISPATCHER_CONTEXT* dispatch);
}

asm(R"(
    .text
    .p2align 4
    .globl stw_support_invoke
    .def stw_support_invoke; .scl 2; .type 32; .endef
    .seh_proc stw_support_invoke
stw_support_invoke:
    .seh_handler stw_support_fault_handler, @except
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    movq %r8, 32(%rbp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    movl $1, %eax
    jmp 1f
    .globl stw_support_invoke_recover
stw_support_invoke_recover:
    xorl %eax, %eax
1:
    leaq 0(%rbp), %rsp
    popq %rbp
    ret
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION stw_support_fault_handler(EXCEPTION_RECORD* rec, void* frame, CONTEXT*,
                                                           DISPATCHER_CONTEXT* dispatch) {
  if (rec->ExceptionFlags & stw::kUnwindingFlags) return ExceptionContinueSearch;
  auto* fault = *reinterpret_cast<stw::FaultRecord**>(static_cast<char*>(frame) + 32);
  stw::CopyFault(rec, fault);
  if (rec->ExceptionCode == stw::kGccThrow && rec->NumberParameters >= 1 && rec->ExceptionInformation[0]) {
    // A GCC frame of the DLL with a cleanup (a destructor) interrupts the
    // unwind to run it and then resumes with _Unwind_Resume, which unwinds
    // to the target saved in the exception object: private_[1] (frame),
    // [2] (address) and [3] (a register), after the class and the cleanup
    // routine. GCC fills them only when one of its own frames catches the
    // exception; left empty, the resumed unwind would run through our frame
    // to the end of the stack. So they name our recovery point, as GCC's
    // own catch would name its handler.
    auto* words = reinterpret_cast<ULONG_PTR*>(rec->ExceptionInformation[0]);
    const auto recover = reinterpret_cast<ULONG_PTR>(&stw_support_invoke_recover);
    words[3] = reinterpret_cast<ULONG_PTR>(frame);
    words[4] = recover;
    words[5] = 0;
    fault->gccException = words;
  }
  // Unwinds the DLL's frames and continues at the recovery label with the
  // registers of our frame; does not return.
  RtlUnwindEx(frame, reinterpret_cast<void*>(&stw_support_invoke_recover), rec, nullptr, dispatch->ContextRecord,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

namespace stw {
namespace {
bool InvokeGuarded(GuardedBody body, void* argument, FaultRecord& fault) {
  return stw_support_invoke(body, argument, &fault) != 0;
}
}  // namespace
}  // namespace stw

#elif defined(__i386__)

namespace stw {
namespace {

// An exception registration record with what our handler needs after it.
// The system finds it through fs:[0]; it must live on the stack.
struct GuardFrame {
  void* next;
  void* handler;
  FaultRecord* fault;
  void* jump[5];  // __builtin_setjmp's buffer
};

void* HandlerChain() {
  void* p;
  asm volatile("movl %%fs:0, %0" : "=r"(p));
  return p;
}
void SetHandlerChain(void* p) { asm volatile("movl %0, %%fs:0" : : "r"(p) : "memory"); }

// RtlUnwind(frame, 0, rec, 0): runs the unwind handlers of every
// registration above `frame` and takes them off the chain. It does not
// keep ebx, esi and edi, so they are saved around the call.
void UnwindTo(void* frame, EXCEPTION_RECORD* rec) {
  void* unwind = reinterpret_cast<void*>(&RtlUnwind);
  asm volatile(
      "pushl %%ebp\n\t"
      "pushl %%ebx\n\t"
      "pushl %%esi\n\t"
      "pushl %%edi\n\t"
      "pushl $0\n\t"
      "pushl %1\n\t"
      "pushl $0\n\t"
      "pushl %0\n\t"
      "call *%2\n\t"
      "popl %%edi\n\t"
      "popl %%esi\n\t"
      "popl %%ebx\n\t"
      "popl %%ebp"
      :
      : "r"(frame), "r"(rec), "r"(unwind)
      : "eax", "ecx", "edx", "memory", "cc");
}

extern "C" EXCEPTION_DISPOSITION __cdecl stw_support_fault_handler32(EXCEPTION_RECORD* rec, void* frame, CONTEXT*,
                                                                     void*) {
  if (rec->ExceptionFlags & kUnwindingFlags) return ExceptionContinueSearch;
  auto* g = static_cast<GuardFrame*>(frame);
  CopyFault(rec, g->fault);
  UnwindTo(frame, rec);
  SetHandlerChain(g->next);
  __builtin_longjmp(g->jump, 1);
}

__attribute__((noinline)) bool InvokeGuarded(GuardedBody body, void* argument, FaultRecord& fault) {
  GuardFrame g;
  g.handler = reinterpret_cast<void*>(&stw_support_fault_handler32);
  g.fault = &fault;
  if (__builtin_setjmp(g.jump)) return false;  // back from the handler
  g.next = HandlerChain();
  SetHandlerChain(&g);
  try {
    body(argument);
  } catch (...) {
    // The record must not outlive this frame in the thread's chain.
    SetHandlerChain(g.next);
    throw;
  }
  SetHandlerChain(g.next);
  return true;
}

}  // namespace
}  // namespace stw

#else
#error "the support DLL's calls are guarded for x86_64 and i686 only"
#endif

namespace stw {
namespace {

using win32::Narrow;
using win32::Wide;

std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

// " in module 'name.dll'" for an address inside a loaded module.
std::string ModuleOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return {};
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return " in module '" + ExtractFileName(Narrow(std::wstring_view(path, n))) + "'";
}

// The error's own message, as the user is shown it.
std::string DescribeFault(const FaultRecord& f) {
  const std::string at = " at address " + Hex(f.address) + ModuleOf(f.address);
  switch (f.code) {
    case EXCEPTION_ACCESS_VIOLATION: {
      std::string text = "Access violation" + at;
      if (f.parameterCount >= 2) {
        const ULONG_PTR kind = f.parameters[0];
        text += std::string(". ") +
                (kind == 1   ? "Write"
                 : kind == 8 ? "Execution"
                             : "Read") +
                " of address " + Hex(reinterpret_cast<const void*>(f.parameters[1]));
      }
      return text + ".";
    }
    case EXCEPTION_STACK_OVERFLOW:
      return "Stack overflow" + at + ".";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return "Division by zero" + at + ".";
    case EXCEPTION_INT_OVERFLOW:
      return "Integer overflow" + at + ".";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return "Floating point division by zero" + at + ".";
    case EXCEPTION_FLT_INVALID_OPERATION:
      return "Invalid floating point operation" + at + ".";
    case EXCEPTION_FLT_OVERFLOW:
      return "Floating point overflow" + at + ".";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return "Illegal instruction" + at + ".";
    case EXCEPTION_PRIV_INSTRUCTION:
      return "Privileged instruction" + at + ".";
    case EXCEPTION_IN_PAGE_ERROR:
      return "In-page error" + at + ".";
    case kGccThrow:
    case 0xE06D7363:  // thrown by the Microsoft C++ runtime
      return "C++ exception" + at + ".";
    default: {
      char code[16];
      std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(f.code));
      return std::string("External exception ") + code + at + ".";
    }
  }
}

// Runs `call` guarded; throws ESupportRoutineFault when it raised.
template <typename F>
void CallGuarded(F&& call) {
  FaultRecord fault;
  using Fn = std::remove_reference_t<F>;
  const bool returned = InvokeGuarded([](void* p) { (*static_cast<Fn*>(p))(); }, &call, fault);
  if (returned) return;
  if (fault.gccException) {
    // Caught for good: the DLL's runtime frees its exception object through
    // the cleanup routine stored in it (_Unwind_DeleteException's way).
    using CleanupFn = void (*)(int reason, void* exception);
    auto* words = static_cast<ULONG_PTR*>(fault.gccException);
    if (auto cleanup = reinterpret_cast<CleanupFn>(words[1])) cleanup(1 /* _URC_FOREIGN_EXCEPTION_CAUGHT */, words);
  }
  if (fault.code == EXCEPTION_STACK_OVERFLOW) {
    // The guard page that caught the overflow is gone; without it the
    // next overflow would end the process at once.
    using ResetFn = int(__cdecl*)();
    if (HMODULE crt = GetModuleHandleW(L"msvcrt.dll"))
      if (auto reset = reinterpret_cast<ResetFn>(reinterpret_cast<void*>(GetProcAddress(crt, "_resetstkoflw"))))
        reset();
  }
  throw ESupportRoutineFault(DescribeFault(fault));
}

// UTF-8 to the system's ANSI code page; characters it lacks become its
// default character.
std::string ToAnsi(const std::string& utf8) {
  const std::wstring w = Wide(utf8);
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// A text of a DLL's buffer as UTF-8; "" when it is not valid in its
// encoding.
std::string FromWide(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}
std::string FromAnsi(const char* text, size_t length) {
  if (length == 0) return {};
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), w.data(), n);
  return FromWide(w.data(), w.size());
}

using AllowFn1 = BOOL(WINAPI*)(HWND);
using AllowFn2 = BOOL(WINAPI*)(HWND, BOOL);
using AllowFn3 = BOOL(WINAPI*)(HWND, BOOL, BOOL);
using FoldersFnA = void(WINAPI*)(char*, int);
using FoldersFnW = void(WINAPI*)(wchar_t*, int);
using SelectionFnA = void(WINAPI*)(const char*, BOOL*, BOOL*, BOOL);
using SelectionFnW = void(WINAPI*)(const wchar_t*, BOOL*, BOOL*, BOOL);
using FinishFnA = void(WINAPI*)(const char*);
using FinishFnW = void(WINAPI*)(const wchar_t*);

class Win32SupportModule : public ISupportModule {
 public:
  explicit Win32SupportModule(HMODULE module) : module_(module) {}
  ~Win32SupportModule() override { FreeLibrary(module_); }

  bool Exports(SupportRoutine r) override { return Routine(r) != nullptr; }

  std::optional<bool> Allow(SupportRoutine r, void* owner, bool portable, bool currentUser) override {
    void* fn = Routine(r);
    if (!fn) return std::nullopt;
    const HWND window = static_cast<HWND>(owner);
    const BOOL p = ToSupportBool(portable), u = ToSupportBool(currentUser);
    BOOL answer = TRUE;
    CallGuarded([&] {
      switch (r) {
        case SupportRoutine::AllowInstallation3:
          answer = reinterpret_cast<AllowFn3>(fn)(window, p, u);
          break;
        case SupportRoutine::AllowInstallation2:
          answer = reinterpret_cast<AllowFn2>(fn)(window, p);
          break;
        default:
          answer = reinterpret_cast<AllowFn1>(fn)(window);
          break;
      }
    });
    return FromSupportBool(answer);
  }

  std::optional<std::string> Folders(SupportRoutine r) override {
    void* fn = Routine(r);
    if (!fn) return std::nullopt;
    constexpr size_t n = kSupportBufferSize;
    if (IsWideSupportRoutine(r)) {
      std::vector<wchar_t> buffer(n, L'\0');
      CallGuarded([&] { reinterpret_cast<FoldersFnW>(fn)(buffer.data(), kSupportBufferSize); });
      // Up to the first zero, and no further than the buffer even when the
      // DLL filled it without one.
      return FromWide(buffer.data(), wcsnlen(buffer.data(), n));
    }
    std::vector<char> buffer(n, '\0');
    CallGuarded([&] { reinterpret_cast<FoldersFnA>(fn)(buffer.data(), kSupportBufferSize); });
    return FromAnsi(buffer.data(), strnlen(buffer.data(), n));
  }

  std::optional<Selection> ComponentSelection(SupportRoutine r, const std::string& name, Selection in,
                                              bool previouslyInstalled) override {
    void* fn = Routine(r);
    if (!fn) return std::nullopt;
    BOOL optional = ToSupportBool(in.Optional), selected = ToSupportBool(in.Selected);
    const BOOL previous = ToSupportBool(previouslyInstalled);
    if (IsWideSupportRoutine(r)) {
      const std::wstring w = Wide(name);
      CallGuarded([&] { reinterpret_cast<SelectionFnW>(fn)(w.c_str(), &optional, &selected, previous); });
    } else {
      const std::string a = ToAnsi(name);
      CallGuarded([&] { reinterpret_cast<SelectionFnA>(fn)(a.c_str(), &optional, &selected, previous); });
    }
    return Selection{FromSupportBool(optional), FromSupportBool(selected)};
  }

  bool Finish(SupportRoutine r, const std::string& logPath) override {
    void* fn = Routine(r);
    if (!fn) return false;
    if (IsWideSupportRoutine(r)) {
      const std::wstring w = Wide(logPath);
      CallGuarded([&] { reinterpret_cast<FinishFnW>(fn)(w.c_str()); });
    } else {
      const std::string a = ToAnsi(logPath);
      CallGuarded([&] { reinterpret_cast<FinishFnA>(fn)(a.c_str()); });
    }
    return true;
  }

 private:
  void* Routine(SupportRoutine r) const {
    return reinterpret_cast<void*>(GetProcAddress(module_, SupportExportName(r)));
  }
  HMODULE module_;
};

}  // namespace

std::unique_ptr<ISupportModule> Win32SupportModuleLoader::Load(const std::string& path) {
  if (!IsCompletePath(path)) return nullptr;
  const std::wstring w = Wide(path);
  // Its own folder and the system folder only. Systems without the
  // search flags (Windows 7 lacking its loader update) refuse them with
  // ERROR_INVALID_PARAMETER; the altered search path then starts in the
  // DLL's folder too, but goes on to the folders of the process's default
  // order, which the setup restricted at its start.
  HMODULE module = LoadLibraryExW(w.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
    module = LoadLibraryExW(w.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return nullptr;
  return std::make_unique<Win32SupportModule>(module);
}

}  // namespace stw

namespace stw {

std::unique_ptr<ISupportModuleLoader> CreateNativeSupportModuleLoader(IFileSystem&) {
  return std::make_unique<Win32SupportModuleLoader>();
}

}  // namespace stw
