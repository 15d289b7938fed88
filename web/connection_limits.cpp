#include "web/connection_limits.h"

namespace dialscope::web {

ConnectionLimits::ConnectionLimits(size_t total, size_t perAddress)
    : total_(total > 0 ? total : 1), perAddress_(perAddress > 0 ? perAddress : 1) {}

ConnectionLimits::Admission ConnectionLimits::Admit(const std::string& address) {
    Admission admission;
    // Its own address's oldest first, so that one address crowds out no other.
    if (const auto mine = byAddress_.find(address); mine != byAddress_.end() && mine->second.size() >= perAddress_) {
        const Id oldest = mine->second.begin()->second;
        Forget(oldest);
        admission.shed.push_back(oldest);
    }
    if (entries_.size() >= total_) {
        if (all_.empty() || all_.begin()->first == Standing::Held) return admission;
        const Id oldest = all_.begin()->second;
        Forget(oldest);
        admission.shed.push_back(oldest);
    }
    admission.admitted = true;
    admission.id = next_++;
    entries_.emplace(admission.id, Entry{address, Standing::Unknown});
    all_.emplace(Standing::Unknown, admission.id);
    byAddress_[address].emplace(Standing::Unknown, admission.id);
    return admission;
}

void ConnectionLimits::Set(Id id, Standing standing) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || it->second.standing == standing) return;
    Entry& entry = it->second;
    all_.erase({entry.standing, id});
    all_.emplace(standing, id);
    Order& mine = byAddress_[entry.address];
    mine.erase({entry.standing, id});
    if (standing != Standing::Held) mine.emplace(standing, id);
    if (mine.empty()) byAddress_.erase(entry.address);
    entry.standing = standing;
}

void ConnectionLimits::Release(Id id) { Forget(id); }

ConnectionLimits::Id ConnectionLimits::ShedOne() {
    if (all_.empty() || all_.begin()->first == Standing::Held) return 0;
    const Id oldest = all_.begin()->second;
    Forget(oldest);
    return oldest;
}

void ConnectionLimits::Forget(Id id) {
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    const Entry& entry = it->second;
    all_.erase({entry.standing, id});
    if (const auto mine = byAddress_.find(entry.address); mine != byAddress_.end()) {
        mine->second.erase({entry.standing, id});
        if (mine->second.empty()) byAddress_.erase(mine);
    }
    entries_.erase(it);
}

}  // namespace dialscope::web
