#include "audio/RealtimeMix.h"

#include <algorithm>

namespace DUve::AudioDevice {

namespace {
// Room for every command the worker may have in flight several times over.
constexpr size_t kRingBytes = 1 << 16;
}  // namespace

CRealtimeMix::CTrack::CTrack(uint16_t nChannels, uint64_t nStart) : channels(new CChannel[nChannels]) {
    for (uint16_t i = 0; i < nChannels; ++i) channels[i].nStart = channels[i].nEnd = nStart;
}

CRealtimeMix::CRealtimeMix(uint16_t nChannels) : m_nChannels(nChannels), m_ring(kRingBytes) {
    m_ring.LockInMemory();
}

CRealtimeMix::~CRealtimeMix() = default;

uint64_t CRealtimeMix::CreateTrack(uint64_t nStart) {
    Collect();
    if (m_tracks.size() >= kMaxTracks) return 0;
    const uint64_t nId = m_nNextTrack++;
    auto& track = m_tracks[nId];
    track = std::make_unique<CTrack>(m_nChannels, nStart);
    m_waiting.push_back({CCommand::Create, 0, track.get(), nullptr, 0});
    Collect();
    return nId;
}

void CRealtimeMix::Push(uint64_t nTrack, uint16_t nChannel, CSamples vSamples) {
    const auto it = m_tracks.find(nTrack);
    if (it == m_tracks.end() || it->second->bDeleted || nChannel >= m_nChannels || !vSamples || vSamples->empty())
        return;
    CTrack& track = *it->second;
    m_waiting.push_back({CCommand::Push, nChannel, &track, vSamples->data(), vSamples->size()});
    track.channels[nChannel].held.push_back(std::move(vSamples));
    Collect();
}

void CRealtimeMix::DeleteTrack(uint64_t nTrack) {
    const auto it = m_tracks.find(nTrack);
    if (it == m_tracks.end() || it->second->bDeleted) return;
    it->second->bDeleted = true;
    m_waiting.push_back({CCommand::Delete, 0, it->second.get(), nullptr, 0});
    Collect();
}

bool CRealtimeMix::HandOver(const CCommand& c) {
    if (c.eKind == CCommand::Push) {
        const CChannel& channel = c.pTrack->channels[c.nChannel];
        // The channel's ring on the mixing side must have room when the push arrives.
        if (channel.nHanded - channel.nDone.load(std::memory_order_acquire) >= kMaxChunks) return false;
    }
    return m_ring.WriteValue(c);
}

void CRealtimeMix::Collect() {
    while (!m_waiting.empty() && HandOver(m_waiting.front())) {
        const CCommand& c = m_waiting.front();
        if (c.eKind == CCommand::Push) ++c.pTrack->channels[c.nChannel].nHanded;
        m_waiting.pop_front();
    }
    for (auto it = m_tracks.begin(); it != m_tracks.end();) {
        CTrack& track = *it->second;
        if (track.bReleased.load(std::memory_order_acquire)) {
            it = m_tracks.erase(it);  // the mixing side holds nothing of it any more
            continue;
        }
        for (uint16_t i = 0; i < m_nChannels; ++i) {
            CChannel& channel = track.channels[i];
            const uint64_t nDone = channel.nDone.load(std::memory_order_acquire);
            for (; channel.nReleased < nDone; ++channel.nReleased) channel.held.pop_front();
        }
        ++it;
    }
}

size_t CRealtimeMix::HeldChunks() const {
    size_t n = 0;
    for (const auto& [id, track] : m_tracks)
        for (uint16_t i = 0; i < m_nChannels; ++i) n += track->channels[i].held.size();
    return n;
}

void CRealtimeMix::Apply(const CCommand& c) {
    switch (c.eKind) {
        case CCommand::Create:
            if (m_nLive < kMaxTracks) m_live[m_nLive++] = c.pTrack;
            break;
        case CCommand::Push: {
            CChannel& channel = c.pTrack->channels[c.nChannel];
            // A track may join the mix after its start (its sender began before the
            // output was patched) and catch up; once it is ahead of the mix, each chunk
            // has to come before its place plays.
            if (channel.bAhead && channel.nEnd < m_nPosition) m_nLateChunks.fetch_add(1, std::memory_order_relaxed);
            channel.nEnd += c.nSize;
            channel.bAhead = channel.bAhead || channel.nEnd > m_nPosition;
            channel.ring[(channel.nHead + channel.nCount) % kMaxChunks] = {c.pData, c.nSize};
            ++channel.nCount;
            break;
        }
        case CCommand::Delete: {
            auto* const pEnd = m_live.begin() + m_nLive;
            auto* const pFound = std::find(m_live.begin(), pEnd, c.pTrack);
            if (pFound != pEnd) {
                std::copy(pFound + 1, pEnd, pFound);  // keeps the order tracks are mixed in
                m_live[--m_nLive] = nullptr;
            }
            c.pTrack->bReleased.store(true, std::memory_order_release);
            break;
        }
    }
}

void CRealtimeMix::MixInto(float* const* ppOut, uint16_t nOut, uint64_t nCount) {
    for (size_t n = m_ring.NextSize(); n; n = m_ring.NextSize()) {
        if (n == sizeof(CCommand)) {
            CCommand c;
            m_ring.Peek(0, &c, sizeof c);
            Apply(c);
        }
        m_ring.Pop();
    }
    const uint64_t nBegin = m_nPosition;
    const uint64_t nEnd = nBegin + nCount;
    for (uint16_t i = 0; i < nOut; ++i) std::fill(ppOut[i], ppOut[i] + nCount, 0.0f);
    for (size_t k = 0; k < m_nLive; ++k) {
        CTrack& track = *m_live[k];
        for (uint16_t i = 0; i < m_nChannels; ++i) {
            CChannel& c = track.channels[i];
            if (i < nOut) {
                float* out = ppOut[i];
                uint64_t nChunkStart = c.nStart;
                for (size_t j = 0; j < c.nCount && nChunkStart < nEnd; ++j) {
                    const CChunk& chunk = c.ring[(c.nHead + j) % kMaxChunks];
                    const uint64_t nChunkEnd = nChunkStart + chunk.n;
                    const uint64_t nFrom = std::max(nChunkStart, nBegin);
                    const uint64_t nTo = std::min(nChunkEnd, nEnd);
                    for (uint64_t t = nFrom; t < nTo; ++t) out[t - nBegin] += chunk.p[t - nChunkStart];
                    nChunkStart = nChunkEnd;
                }
            }
            uint64_t nDone = c.nDone.load(std::memory_order_relaxed);
            while (c.nCount && c.nStart + c.ring[c.nHead].n <= nEnd) {
                c.nStart += c.ring[c.nHead].n;
                c.nHead = (c.nHead + 1) % kMaxChunks;
                --c.nCount;
                ++nDone;
            }
            c.nDone.store(nDone, std::memory_order_release);
        }
    }
    m_nPosition = nEnd;
}

}  // namespace DUve::AudioDevice
