#include "server/Protocol.h"

#include <map>
#include <tuple>
#include <type_traits>
#include <utility>

namespace DUve::Sequencer::CProtocol {

namespace {
// Every command, in the order of the protocol table.
using CAllCommands =
    std::tuple<CRegistClient, CCommandEcho, CCommandExportSmf, CCommandExportedSmf,
               CCommandDelete, CCommandDeleted, CCommandChangedSequenceProperty,
               CCommandCreateSequence, CCommandOpenSequence, CCommandChangedTrackProperty,
               CCommandSetSequenceTitle, CCommandCreateTrack, CCommandSetTrackTitle,
               CCommandTrackChangeMml, CCommandTrackCompileMml, CCommandTrackCompiledMml,
               CCommandSetPortEnable, CCommandPortChangeInstrument, CCommandChangedPortProperty,
               CCommandCreatePort, CCommandLoadSmf, CCommandCreateEvent>;

template <class F, size_t... I>
void ForEachCommand(F&& f, std::index_sequence<I...>) {
    (f(static_cast<std::tuple_element_t<I, CAllCommands>*>(nullptr)), ...);
}
template <class F>
void ForEachCommand(F&& f) {
    ForEachCommand(f, std::make_index_sequence<std::tuple_size_v<CAllCommands>>());
}
}  // namespace

void CBase::RegisterClasses(CRSerializeT<CBase>::CRegistrar& r) {
    ForEachCommand([&r](auto* tag) { r.Add<std::remove_pointer_t<decltype(tag)>>(); });
}

std::string_view ClassName(uint16_t id) {
    static const std::map<uint16_t, std::string_view> names = [] {
        std::map<uint16_t, std::string_view> m;
        ForEachCommand([&m](auto* tag) {
            using T = std::remove_pointer_t<decltype(tag)>;
            m.emplace(T::SerializeId(), T::kTypeName);
        });
        return m;
    }();
    const auto it = names.find(id);
    return it == names.end() ? std::string_view() : it->second;
}

namespace {
const bool s_bRegistered = (CSerialize::Registry(), true);
}  // namespace

}  // namespace DUve::Sequencer::CProtocol
