// Calls across a driver image's boundary, checked for the stack pointer the
// convention promises. x86 code only; elsewhere no image is ever mapped.
#include "sim/image/boundary.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/io/driver_call.h"
#include "sim/verifier.h"

namespace sim::image {
namespace {

struct ImageSpan {
    uintptr_t begin;
    uintptr_t end;
    std::string name;
};

std::mutex g_spanLock;
std::vector<ImageSpan> g_spans;

// "rezezura.sys+0x1a2b" for an address in an image.
std::string Describe(const void *address)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> guard(g_spanLock);
    for (const ImageSpan &span : g_spans) {
        if (at >= span.begin && at < span.end) {
            char offset[16];
            std::snprintf(offset, sizeof offset, "+0x%x", static_cast<unsigned>(at - span.begin));
            return span.name + offset;
        }
    }
    return "an unknown address";
}

// Called by a thunk whose export returned with the stack pointer `delta`
// bytes away from where its convention puts it.
void ReportImportImbalance(const Export *entry, int32_t delta)
{
    Violation("image.stack-imbalance", entry->name,
              "the export returned to the image with the stack pointer " + std::to_string(delta) +
                  " bytes off its convention's (" + std::to_string(entry->stackBytes) + " argument bytes)");
}

class Emitter {
public:
    explicit Emitter(std::vector<unsigned char> *code) : code_(*code) {}
    Emitter &Bytes(std::initializer_list<unsigned char> bytes)
    {
        code_.insert(code_.end(), bytes);
        return *this;
    }
    Emitter &Word(uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8) {
            code_.push_back(static_cast<unsigned char>(value >> shift));
        }
        return *this;
    }
    Emitter &Half(uint16_t value)
    {
        code_.push_back(static_cast<unsigned char>(value));
        code_.push_back(static_cast<unsigned char>(value >> 8));
        return *this;
    }

private:
    std::vector<unsigned char> &code_;
};

uint32_t Address(const void *pointer)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// A thunk's code. The image's arguments are copied below a 16-byte aligned
// frame (ECX and EDX, fastcall's register arguments, stay untouched), the
// export is called, and the stack pointer it returns with is compared with
// where its convention puts it; a difference is reported and the frame
// restored, so the image always returns as the convention says.
void EmitThunk(const Export &entry, std::vector<unsigned char> *code)
{
    // A variadic routine may read more than its fixed arguments.
    uint32_t copied = entry.stackBytes + (entry.variadic ? 64 : 0);
    uint32_t frame = (copied + 15) / 16 * 16;
    uint32_t popped = entry.convention == Convention::Cdecl ? 0 : entry.stackBytes;
    Emitter out(code);
    out.Bytes({0x55, 0x89, 0xE5, 0x53});                 // push ebp; mov ebp, esp; push ebx
    out.Bytes({0x89, 0xE3, 0x83, 0xE3, 0xF0});           // mov ebx, esp; and ebx, -16
    out.Bytes({0x89, 0xDC, 0x81, 0xEC}).Word(frame);      // mov esp, ebx; sub esp, frame
    for (uint32_t offset = 0; offset < copied; offset += 4) {
        out.Bytes({0x8B, 0x85}).Word(8 + offset);         // mov eax, [ebp + 8 + offset]
        out.Bytes({0x89, 0x84, 0x24}).Word(offset);       // mov [esp + offset], eax
    }
    out.Bytes({0xB8}).Word(Address(entry.address));       // mov eax, export
    out.Bytes({0xFF, 0xD0});                              // call eax
    out.Bytes({0x89, 0xE1, 0x29, 0xD9});                  // mov ecx, esp; sub ecx, ebx
    out.Bytes({0x81, 0xE9}).Word(popped - frame);         // sub ecx, popped - frame: the difference
    out.Bytes({0x74, 23});                                // je balanced
    out.Bytes({0x8D, 0x65, 0xFC});                        // lea esp, [ebp - 4]
    out.Bytes({0x50, 0x52, 0x51});                        // push eax; push edx; push ecx
    out.Bytes({0x68}).Word(Address(&entry));              // push entry
    out.Bytes({0xB8}).Word(Address(reinterpret_cast<const void *>(&ReportImportImbalance)));
    out.Bytes({0xFF, 0xD0, 0x83, 0xC4, 0x08});            // call eax; add esp, 8
    out.Bytes({0x5A, 0x58});                              // pop edx; pop eax
    out.Bytes({0x8B, 0x5D, 0xFC, 0x89, 0xEC, 0x5D});      // balanced: mov ebx, [ebp-4]; mov esp, ebp; pop ebp
    if (popped == 0) {
        out.Bytes({0xC3});                                // ret
    } else {
        out.Bytes({0xC2}).Half(static_cast<uint16_t>(popped));  // ret popped
    }
}

}  // namespace

void AddImageSpan(const void *base, size_t size, const std::string &name)
{
    std::lock_guard<std::mutex> guard(g_spanLock);
    uintptr_t begin = reinterpret_cast<uintptr_t>(base);
    g_spans.push_back(ImageSpan{begin, begin + size, name});
}

void RemoveImageSpan(const void *base)
{
    std::lock_guard<std::mutex> guard(g_spanLock);
    std::erase_if(g_spans, [base](const ImageSpan &span) { return span.begin == reinterpret_cast<uintptr_t>(base); });
}

ImportThunks::~ImportThunks()
{
    if (code_ != nullptr) {
        munmap(code_, size_);
    }
}

bool ImportThunks::Build(const std::vector<const Export *> &exports)
{
#if !defined(__i386__)
    return false;  // x86 code runs only in the x86 build
#endif
    std::vector<unsigned char> code;
    for (const Export *entry : exports) {
        offsets_.push_back(code.size());
        EmitThunk(*entry, &code);
        code.resize((code.size() + 15) / 16 * 16, 0xCC);
    }
    if (code.empty()) {
        return true;
    }
    size_ = code.size();
    void *mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return false;
    }
    code_ = static_cast<unsigned char *>(mapped);
    std::memcpy(code_, code.data(), size_);
    return mprotect(code_, size_, PROT_READ | PROT_EXEC) == 0;
}

const void *ImportThunks::Entry(size_t index) const
{
    return code_ + offsets_[index];
}

}  // namespace sim::image

#if defined(__i386__)
// sim_call_image(routine, words, count, &eax): pushes the words as stdcall
// arguments, calls the routine, stores its EAX and returns how far the stack
// pointer is from where it was before the arguments were pushed; the frame
// is restored from EBP, which every routine preserves, whatever it popped.
extern "C" int32_t sim_call_image(const void *routine, const uint32_t *words, uint32_t count, uint32_t *result);
asm(R"(
    .text
    .globl sim_call_image
    .hidden sim_call_image
    .type sim_call_image, @function
sim_call_image:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    leal -12(%ebp), %ecx
    movl %esp, %eax
    subl %ecx, %eax
    movl %ecx, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size sim_call_image, .-sim_call_image
)");
#endif

namespace sim {

bool InDriverImage(const void *routine)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(routine);
    std::lock_guard<std::mutex> guard(image::g_spanLock);
    for (const image::ImageSpan &span : image::g_spans) {
        if (at >= span.begin && at < span.end) {
            return true;
        }
    }
    return false;
}

uint32_t CallImageRoutine(const char *role, const void *routine, const uint32_t *words, uint32_t count)
{
    uint32_t result = 0;
    int32_t delta = 0;
#if defined(__i386__)
    delta = sim_call_image(routine, words, count, &result);
#endif
    if (delta != 0) {
        Violation("image.stack-imbalance", role,
                  image::Describe(routine) + " returned with the stack pointer " + std::to_string(delta) +
                      " bytes off: a stdcall routine of " + std::to_string(count * 4) +
                      " argument bytes pops exactly those");
    }
    return result;
}

}  // namespace sim
