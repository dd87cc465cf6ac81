#include "audio/AudioDevice.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "audio/DeviceKinds.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice {

namespace {
// Read at program start: every time stamp of the process is relative to it.
const std::chrono::steady_clock::time_point g_epoch = std::chrono::steady_clock::now();

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
    if (!b.pMidiOut) b.pMidiOut = std::make_shared<CEmptyMidiOut>();
    if (!b.pVst) b.pVst = std::make_shared<CEmptyVst>();
    if (!b.pDirectSound) b.pDirectSound = std::make_shared<CEmptyAudioOut>();
    if (!b.pAsio) b.pAsio = std::make_shared<CEmptyAudioOut>();
}
}  // namespace

std::chrono::steady_clock::time_point ClockEpoch() { return g_epoch; }

namespace {
std::atomic<const IClockSource*> g_clockSource{nullptr};
std::mutex g_clockMutex;
std::vector<std::shared_ptr<const IClockSource>> g_clockSources;  // every source ever set
}  // namespace

void SetClockSource(std::shared_ptr<const IClockSource> source) {
    std::lock_guard lock(g_clockMutex);
    g_clockSource.store(source.get());
    if (source) g_clockSources.push_back(std::move(source));
}

uint64_t ClockNanoseconds() {
    if (const IClockSource* p = g_clockSource.load(std::memory_order_acquire)) return p->Nanoseconds();
    const auto d = std::chrono::steady_clock::now() - g_epoch;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

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
        std::fprintf(stderr, "%s\n", line.c_str());
}

void SetDeviceLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(g_logMutex);
    g_logSink = std::move(sink);
}

double ClockSeconds() { return static_cast<double>(ClockNanoseconds()) / 1e9; }

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
template <class CKind>
void AppendIds(std::vector<CDevice::CIdPtr>& ids) {
    for (const auto& id : CKind::CInstances::Get().Ids()) ids.push_back(id);
}
}  // namespace

CControl::CIdInstances::CIdInstances() {
    std::vector<CDevice::CIdPtr> ids;
    AppendIds<CDeviceMidiOut>(ids);
    AppendIds<CDeviceVst>(ids);
    AppendIds<CDeviceAsio>(ids);
    AppendIds<CDeviceDirectSound>(ids);
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
    return std::make_shared<CQueue>(m_device, CQueueId::Generate());
}

CControl::CMidiIn::CQueue::CQueue(CDevicePtr device, const CQueueId& i) : id(i), m_device(std::move(device)) {
    m_device->PostRequest(std::make_shared<Request::CCreateQueueMidi>(id));
}

CControl::CMidiIn::CQueue::~CQueue() { m_device->PostRequest(std::make_shared<Request::CDeleteQueue>(id)); }

void CControl::CMidiIn::CQueue::Push(double dTime, CBytes vBytes) const {
    m_device->PostRequest(std::make_shared<Request::CPushMidi>(id, dTime, std::move(vBytes)));
}

std::shared_ptr<CControl::CAudioIn::CQueue> CControl::CAudioIn::CreateQueue(double dTime) const {
    if (!m_device) return nullptr;
    auto queue = std::make_shared<CQueue>(m_device, CQueueId::Generate());
    m_device->PostRequest(std::make_shared<Request::CCreateQueueAudio>(queue->Id(), dTime));
    return queue;
}

CControl::CAudioIn::CQueue::CQueue(CDevicePtr device, const CQueueId& i) : id(i), m_device(std::move(device)) {}

CControl::CAudioIn::CQueue::~CQueue() { m_device->PostRequest(std::make_shared<Request::CDeleteQueue>(id)); }

void CControl::CAudioIn::CQueue::Push(uint16_t nChannel, CSamples vSamples) const {
    m_device->PostRequest(std::make_shared<Request::CPushAudio>(id, nChannel, std::move(vSamples)));
}

}  // namespace DUve::AudioDevice
