// Counts of things in use, by key, kept by tickets: taking a ticket counts one more for its
// key, and the count goes down when the last copy of the ticket goes, on whatever thread
// that happens. Used for connections waiting for admission (by remote address) and for
// sessions (by visitor and by solution).
#pragma once

#include <cstddef>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "runtime/RForeignOutput.h"

namespace DUve {

template <class Key>
class CRTallyT {
public:
    using CTicket = std::shared_ptr<void>;

    // `onRelease` runs on the releasing thread, after the count went down, with no lock held.
    explicit CRTallyT(std::function<void(const Key&)> onRelease = {})
        : m_state(std::make_shared<CState>()) {
        m_state->onRelease = std::move(onRelease);
    }

    CTicket Take(const Key& key) {
        {
            std::lock_guard lock(m_state->mutex);
            ++m_state->counts[key];
            ++m_state->nTotal;
        }
        auto state = m_state;
        return CTicket(state.get(), [state, key](void*) { state->Release(key); });
    }

    size_t Count(const Key& key) const {
        std::lock_guard lock(m_state->mutex);
        const auto it = m_state->counts.find(key);
        return it == m_state->counts.end() ? 0 : it->second;
    }

    size_t Total() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->nTotal;
    }

private:
    struct CState {
        std::mutex mutex;
        std::map<Key, size_t> counts;
        size_t nTotal = 0;
        std::function<void(const Key&)> onRelease;  // set once, before any ticket exists

        void Release(const Key& key) {
            {
                std::lock_guard lock(mutex);
                const auto it = counts.find(key);
                if (it != counts.end() && --it->second == 0) counts.erase(it);
                --nTotal;
            }
            // A ticket goes in a destructor: nothing may leave from here.
            try {
                if (onRelease) onRelease(key);
            } catch (const std::exception& e) {
                std::fprintf(OwnStderr(), "palvor: a released ticket could not be reported: %s\n", e.what());
            }
        }
    };
    std::shared_ptr<CState> m_state;
};

}  // namespace DUve
