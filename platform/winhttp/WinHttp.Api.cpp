// The common ground of the exported functions (WinHttp.Api.h). The functions themselves live
// by concern: handles in WinHttp.Session.cpp, options in WinHttp.Options.cpp, headers in
// WinHttp.Headers.cpp, the transfer in WinHttp.Transfer.cpp, URLs in WinHttp.Url.cpp.

#include "WinHttp.Api.h"

#include <mutex>
#include <vector>

#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

// The handle table. A handle names a slot of the table and the slot's generation, which
// grows each time the slot is let go, so that a handle closed earlier never names the object
// that took its slot later: it is an unknown handle (6) like any other. Handles are
// 0x1000 + 4 * (generation << 32 | slot): never null, never small, aligned like a pointer.
struct TEntry {
    std::shared_ptr<TObject> Obj;
    std::uint32_t Generation = 0;
};
constexpr std::uintptr_t HandleBase = 0x1000;
// Generations wrap within 30 bits, so that the handle fits 64 bits.
constexpr std::uint32_t GenerationMask = (1u << 30) - 1;
static_assert(sizeof(std::uintptr_t) == 8, "handles carry a slot and a generation");

std::mutex GTableLock;
std::vector<TEntry> GTable;
std::vector<std::uint32_t> GFreeSlots;
// Made after the table, so gone before it: when the library goes, the asynchronous sessions'
// threads end first, and none of them still uses the table, or anything else of the library.
struct TStopLoopsFirst {
    ~TStopLoopsFirst() { TAsyncLoop::StopAll(); }
} GStopLoopsFirst;

HINTERNET HandleOf(std::uint32_t Slot, std::uint32_t Generation) {
    const std::uint64_t Key = (static_cast<std::uint64_t>(Generation) << 32) | Slot;
    return reinterpret_cast<HINTERNET>(HandleBase + static_cast<std::uintptr_t>(Key) * 4);
}

// The table's entry a handle names, or null; under the table's lock.
TEntry* EntryOf(HINTERNET H) {
    const auto V = reinterpret_cast<std::uintptr_t>(H);
    if (V < HandleBase || (V - HandleBase) % 4 != 0) return nullptr;
    const std::uint64_t Key = (V - HandleBase) / 4;
    const auto Slot = static_cast<std::uint32_t>(Key);
    if (Slot >= GTable.size()) return nullptr;
    TEntry& E = GTable[Slot];
    return E.Obj && E.Generation == (Key >> 32) ? &E : nullptr;
}

HINTERNET Register(const std::shared_ptr<TObject>& Obj) {
    std::lock_guard<std::mutex> G(GTableLock);
    std::uint32_t Slot;
    if (!GFreeSlots.empty()) {
        Slot = GFreeSlots.back();
        GFreeSlots.pop_back();
    } else {
        // Room for every slot on the free list, so that letting a handle go never allocates.
        GFreeSlots.reserve(GTable.size() + 1);
        Slot = static_cast<std::uint32_t>(GTable.size());
        GTable.emplace_back();
    }
    TEntry& E = GTable[Slot];
    E.Obj = Obj;
    Obj->Handle = HandleOf(Slot, E.Generation);
    return Obj->Handle;
}

}  // namespace

std::shared_ptr<TObject> Lookup(HINTERNET H) {
    std::lock_guard<std::mutex> G(GTableLock);
    const TEntry* E = EntryOf(H);
    return E ? E->Obj : nullptr;
}

std::shared_ptr<TObject> Unregister(HINTERNET H) {
    std::lock_guard<std::mutex> G(GTableLock);
    TEntry* E = EntryOf(H);
    if (!E) return nullptr;
    auto Obj = std::move(E->Obj);
    E->Obj = nullptr;
    E->Generation = (E->Generation + 1) & GenerationMask;
    GFreeSlots.push_back(static_cast<std::uint32_t>(E - GTable.data()));
    return Obj;
}

BOOL Fail(DWORD Code) {
    SetLastError(Code);
    return FALSE;
}

// A new handle for the object; the call that made it succeeded.
HINTERNET Opened(const std::shared_ptr<TObject>& Obj) {
    HINTERNET H = Register(Obj);
    SetLastError(ERROR_SUCCESS);
    return H;
}

BOOL Succeed() {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CopyText(const std::u16string& Text, LPVOID Buffer, LPDWORD Length) {
    DWORD Need = static_cast<DWORD>((Text.size() + 1) * sizeof(WCHAR));
    if (!Buffer || *Length < Need) {
        *Length = Need;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Buffer, Text.data(), Text.size() * sizeof(WCHAR));
    static_cast<WCHAR*>(Buffer)[Text.size()] = 0;
    *Length = static_cast<DWORD>(Text.size() * sizeof(WCHAR));
    return Succeed();
}

bool ParseDword(std::string_view S, std::uint64_t Max, std::uint64_t& Out) {
    S = Trim(S);
    if (S.empty()) return false;
    Out = 0;
    for (char C : S) {
        if (C < '0' || C > '9') return false;
        Out = Out * 10 + static_cast<std::uint64_t>(C - '0');
        if (Out > Max) return false;
    }
    return true;
}

}  // namespace WinHttpImpl
