// The volume under test, on the other side of the fault-injection build's
// seam: it records every call the file layer makes, fails the calls a test
// chooses with real error codes, and answers as a kind of volume would,
// from a table of rules in the calls' own terms.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fault_seam.h"

using sk::seam::Asked;
using sk::seam::Call;

// Which of the pass's files a call is about: by name for a call that names
// one, else the file its handle holds, wherever that file's name is now.
enum class File { kAny, kOther, kFolder, kInput, kWork, kBackup };

struct Traced {
    Call call;
    File file;
    bool operator==(const Traced& other) const { return call == other.call && file == other.file; }
};

// What of the call a rule looks at.
enum class Field { kNone, kAccess, kHow, kFlags };

// One answer of a volume: when a call on a file is asked so (the bits of
// ulMask of the field are ulValue), it fails with nError (0: the real
// call), takes ulTakesMs, and may first do what pfnFirst does (another
// program's doing, or what the call itself leaves). A rule answers only in
// its window of time, from the first time it was asked; unless it is a
// guard, the profile's check fails when the pass never asks it.
struct Rule {
    Call call;
    File file;
    Field field = Field::kNone;
    unsigned long ulMask = 0;
    unsigned long ulValue = 0;
    int nError = 0;
    unsigned long ulFromMs = 0;
    unsigned long ulToMs = 0;  // 0: no end
    unsigned long ulTakesMs = 0;
    bool bGuard = false;
    void (*pfnFirst)(const std::string& folder) = nullptr;

    Rule(Call c, File f = File::kAny) : call(c), file(f) {}
    template <typename T>
    Rule Set(T Rule::*pField, T value) const {
        Rule r = *this;
        r.*pField = value;
        return r;
    }
    // Asked with all of ulBits in the field, with none of them, or with just ulIs.
    Rule Asking(Field f, unsigned long ulBits, unsigned long ulIs) const {
        return Set(&Rule::field, f).Set(&Rule::ulMask, ulBits).Set(&Rule::ulValue, ulIs);
    }
    Rule With(Field f, unsigned long ulBits) const { return Asking(f, ulBits, ulBits); }
    Rule Without(Field f, unsigned long ulBits) const { return Asking(f, ulBits, 0); }
    Rule How(unsigned long ulIs) const { return Asking(Field::kHow, ~0ul, ulIs); }
    Rule Fails(int e) const { return Set(&Rule::nError, e); }
    Rule During(unsigned long ulFrom, unsigned long ulTo) const {
        return Set(&Rule::ulFromMs, ulFrom).Set(&Rule::ulToMs, ulTo);
    }
    Rule Taking(unsigned long ulMs) const { return Set(&Rule::ulTakesMs, ulMs); }
    Rule Guard() const { return Set(&Rule::bGuard, true); }
    Rule Doing(void (*pfn)(const std::string& folder)) const { return Set(&Rule::pfnFirst, pfn); }
};

// What a volume remembers during one pass, for what it tells.
struct VolumeState {
    int cTold;  // answers the profile's pfnTell has rewritten so far
};

// One kind of volume: its rules, and how it tells what the test system
// tells otherwise (in the call's own structure at pOut).
struct Volume {
    const char* pszName;
    std::vector<Rule> rules;
    void (*pfnTell)(const Asked& asked, File file, void* pOut, VolumeState* pState) = nullptr;
};

class FaultPlan {
public:
    static constexpr int kAlways = 1 << 30;
    // A clock tick: the most a sleep may run longer than asked.
    static constexpr unsigned long kTickMs = 16;

    // Counts from zero again, fails nothing, and answers as the test system.
    static void Reset();
    // Call number nCall (from 1) fails with nError, and so do the calls of
    // the same kind on the same file right after it (a step tried again),
    // cTimes in all.
    static void FailCall(int nCall, int nError, int cTimes = 1);
    // Runs pfn right before call number nCall (from 1): another program's
    // doing in the middle of a pass.
    static void AtCall(int nCall, std::function<void()> pfn);
    // The calls answer as pVolume's do; its files are in folder.
    static void SetVolume(const Volume* pVolume, const std::string& folder);
    // The calls made since Reset, in order.
    static const std::vector<Traced>& Trace();
    // How long the pass has taken on the volume's clock since Reset.
    static unsigned long ElapsedMs();
    // How often each of the volume's rules answered since SetVolume.
    static const std::vector<int>& Answered();
    // The name of the file in the volume's folder whose index (as the test
    // system gives it) is ullIndex, or "".
    static std::wstring NameOf(uint64_t ullIndex);
    // Which of the pass's files a handle holds, the one whose name it was
    // opened by, and the index the test system gives its file.
    static File FileOf(intptr_t h);
    static File OpenedAs(intptr_t h);
    static uint64_t IndexOf(intptr_t h);

private:
    friend int sk::seam::Answer(const Asked& asked);
    friend void sk::seam::Tell(const Asked& asked, void* pOut, size_t cbOut);
    friend void sk::seam::Opened(const Asked& asked, intptr_t h);
    friend void sk::seam::Closing(intptr_t h);
    friend unsigned long long sk::seam::Now();
    friend void sk::seam::Wait(unsigned long ulMs);
    static File FileAsked(const Asked& asked);
    static int VolumeAnswer(const Asked& asked, File file);
};
