#include "audio/AudioDevice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "runtime/RString.h"
#include "runtime/RForeignOutput.h"

namespace DUve::AudioDevice {

namespace {
std::mutex g_backendMutex;
bool g_bBackendsFrozen = false;
CBackends g_backends;

class CEmptyMidiOut : public IMidiOutBackend {
public:
    std::vector<CMidiOutPortInfo> Enumerate() override { return {}; }
    std::unique_ptr<IMidiOutPort> Open(uint32_t) override { return nullptr; }
};
class CEmptyVst : public IVstBackend {
public:
    std::vector<CVstPluginInfo> Enumerate() override { return {}; }
    std::unique_ptr<IVstPlugin> Load(const std::u16string&) override { return nullptr; }
};
class CEmptyAudioOut : public IAudioOutBackend {
public:
    std::vector<CAudioOutInfo> Enumerate() override { return {}; }
    std::unique_ptr<IAudioOutStream> Start(uint32_t, uint32_t, uint32_t, CAudioRefill, CAudioLost) override {
        return nullptr;
    }
};

void FillMissing(CBackends& b) {
    if (!b.pMidiPorts) b.pMidiPorts = std::make_shared<CEmptyMidiOut>();
    if (!b.pPlugins) b.pPlugins = std::make_shared<CEmptyVst>();
    if (!b.pDefaultOutputs) b.pDefaultOutputs = std::make_shared<CEmptyAudioOut>();
    if (!b.pLowLatencyOutputs) b.pLowLatencyOutputs = std::make_shared<CEmptyAudioOut>();
}
}  // namespace

namespace {
std::mutex g_logMutex;
std::function<void(const std::string&)> g_logSink;
}  // namespace

void DeviceLog(const char* fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    if (n < 0) return;
    const std::string line(buf);
    std::lock_guard lock(g_logMutex);
    if (g_logSink)
        g_logSink(line);
    else
        std::fprintf(OwnStderr(), "%s\n", line.c_str());
}

void SetDeviceLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(g_logMutex);
    g_logSink = std::move(sink);
}

bool SetBackends(CBackends backends) {
    std::lock_guard lock(g_backendMutex);
    if (g_bBackendsFrozen) return false;
    FillMissing(backends);
    g_backends = std::move(backends);
    return true;
}

void FreezeBackends() {
    std::lock_guard lock(g_backendMutex);
    g_bBackendsFrozen = true;
    FillMissing(g_backends);
}

const CBackends& Backends() {
    // Once frozen the set never changes, so readers need no lock after that.
    FreezeBackends();
    return g_backends;
}

// ---- CControl

bool CControl::CIdLess::operator()(const CDevice::CIdPtr& a, const CDevice::CIdPtr& b) const {
    if (a.get() == b.get()) return false;
    if (!a || !b) return !a;
    const int ra = static_cast<int>(a->Kind());
    const int rb = static_cast<int>(b->Kind());
    if (ra != rb) return ra < rb;
    return a->LessNo(*b);
}

std::vector<std::u16string> CControl::CIdInstances::MakeDisplayNames(const std::vector<std::u16string>& vBases) {
    std::set<std::u16string> taken;
    std::vector<std::u16string> names;
    names.reserve(vBases.size());
    for (const auto& sBase : vBases) {
        std::u16string sName = sBase;
        for (unsigned n = 1; taken.count(sName); ++n) sName = Utf8ToUtf16(Format("%s(%u)", sBase, n));
        taken.insert(sName);
        names.push_back(std::move(sName));
    }
    return names;
}

namespace {
struct CKinds {
    std::mutex mutex;
    std::vector<CKindRegistration> v;  // in enumeration order
};
CKinds& Kinds() {
    static CKinds kinds;  // first used by the kinds' static registrations
    return kinds;
}
}  // namespace

bool RegisterKind(const CKindRegistration& kind) {
    auto& kinds = Kinds();
    std::lock_guard lock(kinds.mutex);
    if (std::any_of(kinds.v.begin(), kinds.v.end(), [&](const auto& k) { return k.eKind == kind.eKind; }))
        return false;
    const auto at = std::upper_bound(kinds.v.begin(), kinds.v.end(), kind, [](const auto& a, const auto& b) {
        return a.nEnumerationOrder < b.nEnumerationOrder;
    });
    kinds.v.insert(at, kind);
    return true;
}

std::vector<CKindRegistration> RegisteredKinds() {
    auto& kinds = Kinds();
    std::lock_guard lock(kinds.mutex);
    return kinds.v;
}

CControl::CIdInstances::CIdInstances() {
    std::vector<CDevice::CIdPtr> ids;
    for (const auto& kind : RegisteredKinds())
        for (auto& id : kind.ids()) ids.push_back(std::move(id));
    std::vector<std::u16string> bases;
    for (const auto& id : ids) bases.push_back(id->BaseName());
    const auto names = MakeDisplayNames(bases);
    for (size_t i = 0; i < ids.size(); ++i) {
        m_all.emplace_back(names[i], ids[i]);
        m_byName[names[i]] = ids[i];
        m_byId[ids[i].get()] = names[i];
    }
}

const CControl::CIdInstances& CControl::CIdInstances::Get() {
    static const CIdInstances instances;  // built once, under the runtime's init lock
    return instances;
}

CDevice::CIdPtr CControl::CIdInstances::Find(const std::u16string& sName) const {
    const auto it = m_byName.find(sName);
    return it == m_byName.end() ? nullptr : it->second;
}

std::u16string CControl::CIdInstances::NameOf(const CDevice::CId& id) const {
    const auto it = m_byId.find(&id);
    return it == m_byId.end() ? std::u16string() : it->second;
}

const CControl::CIdSet& CControl::CAudioIn::GetDeviceIdList() {
    static const CIdSet list = [] {
        CIdSet set;
        for (const auto& [name, id] : CIdInstances::Get().All())
            if (id->AcceptsAudio()) set.insert(id);
        return set;
    }();
    return list;
}

CDevice::CIdPtr CControl::CAudioIn::DefaultOutput() {
    const auto& list = GetDeviceIdList();
    return list.empty() ? nullptr : *list.begin();
}

std::shared_ptr<CControl::CMidiIn::CQueue> CControl::CMidiIn::CreateQueue() const {
    if (!m_device) return nullptr;
    const CQueueId id = CQueueId::Generate();
    return std::make_shared<CQueue>(m_device, id, std::make_shared<Request::CCreateQueueMidi>(id));
}

std::shared_ptr<CControl::CAudioIn::CQueue> CControl::CAudioIn::CreateQueue(double dTime) const {
    if (!m_device) return nullptr;
    const CQueueId id = CQueueId::Generate();
    return std::make_shared<CQueue>(m_device, id, std::make_shared<Request::CCreateQueueAudio>(id, dTime));
}

}  // namespace DUve::AudioDevice
