#include "mac_app/registry/snapshot_services.h"

#include <algorithm>

namespace iokit {

struct NotificationPort {
    bool onRunLoop = false;
};
struct RunLoop {};

namespace {

constexpr uint32_t kParentBase = 0x01;
constexpr uint32_t kChildBase = 0x40;
constexpr uint32_t kKindShift = 24;

RunLoop gTheRunLoop;

}  // namespace

std::unique_ptr<MatchingDictionary> SnapshotServices::serviceMatching(std::string_view className) {
    if (className.empty()) return nullptr;
    auto m = std::make_unique<MatchingDictionary>();
    m->className = std::string(className);
    return m;
}

NotificationPort* SnapshotServices::notificationPortCreate() { return new NotificationPort; }

void SnapshotServices::notificationPortDestroy(NotificationPort* port) { delete port; }

void SnapshotServices::addPortToRunLoop(NotificationPort* port, RunLoop*, std::string_view) {
    if (port) port->onRunLoop = true;
}

kern_return_t SnapshotServices::addMatchingNotification(NotificationPort* port, std::string_view type,
                                                        const MatchingDictionary& matching,
                                                        IOServiceMatchingCallback callback, void* refCon,
                                                        io_iterator_t* iterator) {
    if (!port || !iterator || type != kIOFirstMatchNotification) return kIOReturnError;
    std::lock_guard<std::mutex> lock(mutex_);
    const io_iterator_t handle = nextHandle_++;
    Matching m{callback, refCon, matching.className == kServiceClass, {}};
    if (m.ours) m.pending.assign(present_.begin(), present_.end());
    matchings_.emplace(handle, std::move(m));
    *iterator = handle;
    return KERN_SUCCESS;
}

kern_return_t SnapshotServices::addInterestNotification(NotificationPort* port, io_service_t service,
                                                        std::string_view type, IOServiceInterestCallback callback,
                                                        void* refCon, io_object_t* notification) {
    if (!port || !notification || type != kIOGeneralInterest) return kIOReturnError;
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(present_.begin(), present_.end(), service) == present_.end()) return kIOReturnNoDevice;
    const io_object_t handle = nextHandle_++;
    interests_.emplace(handle, Interest{service, callback, refCon});
    *notification = handle;
    return KERN_SUCCESS;
}

io_object_t SnapshotServices::iteratorNext(io_iterator_t iterator) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = matchings_.find(iterator);
    if (it == matchings_.end() || it->second.pending.empty()) return IO_OBJECT_NULL;
    const io_service_t s = it->second.pending.front();
    it->second.pending.pop_front();
    return s;
}

kern_return_t SnapshotServices::objectRelease(io_object_t) { return KERN_SUCCESS; }

const Entry* SnapshotServices::entryOf(io_registry_entry_t handle) {
    const io_service_t object = handle & kMaxServiceObject;
    const uint32_t kind = handle >> kKindShift;
    auto it = records_.find(object);
    if (it == records_.end() || kind == 0) return nullptr;
    if (kind >= kChildBase) {
        const size_t i = kind - kChildBase;
        return i < it->second.children.size() ? &it->second.children[i] : nullptr;
    }
    const size_t i = kind - kParentBase;
    return i < it->second.parents.size() ? &it->second.parents[i] : nullptr;
}

kern_return_t SnapshotServices::registryEntryGetParentEntry(io_registry_entry_t entry, std::string_view plane,
                                                            io_registry_entry_t* parent) {
    if (!parent || plane != kIOServicePlane) return kIOReturnError;
    std::lock_guard<std::mutex> lock(mutex_);
    const io_service_t object = entry & kMaxServiceObject;
    const uint32_t kind = entry >> kKindShift;
    auto it = records_.find(object);
    if (it == records_.end()) return kIOReturnNotFound;
    uint32_t next;
    if (kind == 0) {
        next = kParentBase;
    } else if (kind >= kChildBase) {
        next = kind == kChildBase ? 0 : kind - 1;   // back up the child chain
    } else {
        next = kind + 1;
    }
    if (next != 0 && next < kChildBase && next - kParentBase >= it->second.parents.size()) return kIOReturnNotFound;
    *parent = object | (next << kKindShift);
    return KERN_SUCCESS;
}

kern_return_t SnapshotServices::registryEntryGetChildEntry(io_registry_entry_t entry, std::string_view plane,
                                                           io_registry_entry_t* child) {
    if (!child || plane != kIOServicePlane) return kIOReturnError;
    std::lock_guard<std::mutex> lock(mutex_);
    const io_service_t object = entry & kMaxServiceObject;
    const uint32_t kind = entry >> kKindShift;
    auto it = records_.find(object);
    if (it == records_.end()) return kIOReturnNotFound;
    uint32_t next;
    if (kind == 0) {
        next = kChildBase;
    } else if (kind >= kChildBase) {
        next = kind + 1;
    } else {
        next = kind == kParentBase ? 0 : kind - 1;   // back down the parent chain
    }
    if (next >= kChildBase && next - kChildBase >= it->second.children.size()) return kIOReturnNotFound;
    *child = object | (next << kKindShift);
    return KERN_SUCCESS;
}

kern_return_t SnapshotServices::registryEntryGetName(io_registry_entry_t entry, std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((entry >> kKindShift) == 0) {
        if (records_.count(entry & kMaxServiceObject) == 0) return kIOReturnNotFound;
        name = kServiceClass;
        return KERN_SUCCESS;
    }
    const Entry* e = entryOf(entry);
    if (!e) return kIOReturnNotFound;
    name = e->name;
    return KERN_SUCCESS;
}

bool SnapshotServices::numberProperty64(io_registry_entry_t entry, std::string_view key, uint64_t& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* e = entryOf(entry);
    if (!e) return false;
    for (const auto& [k, v] : e->properties)
        if (k == key) {
            value = v;
            return true;
        }
    return false;
}

bool SnapshotServices::numberProperty32(io_registry_entry_t entry, std::string_view key, uint32_t& value) {
    uint64_t v = 0;
    if (!numberProperty64(entry, key, v)) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

RunLoop* SnapshotServices::runLoopGetCurrent() { return &gTheRunLoop; }

// A stop asked for before the loop runs is kept and ends the next run at once: the thread that
// stops the discovery cannot know whether the discovery thread has reached its loop yet.
void SnapshotServices::runLoopRun(RunLoop* loop) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_) {
                stopped_ = false;
                return;
            }
        }
        runLoopRunFor(loop, 50);
    }
}

int SnapshotServices::runLoopRunFor(RunLoop*, unsigned ms) {
    int n = deliverPending();
    if (n > 0 || ms == 0) return n;
    waitForChanges(ms);
    return deliverPending();
}

void SnapshotServices::runLoopStop(RunLoop*) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
}

size_t SnapshotServices::interestCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return interests_.size();
}

void SnapshotServices::serviceArrived(const ServiceRecord& record) {
    if (record.object == 0 || record.object > kMaxServiceObject) return;
    std::lock_guard<std::mutex> lock(mutex_);
    records_[record.object] = record;
    if (std::find(present_.begin(), present_.end(), record.object) == present_.end()) present_.push_back(record.object);
    events_.push_back({true, record.object});
    cv_.notify_all();
}

void SnapshotServices::serviceTerminated(io_service_t object) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(present_.begin(), present_.end(), object);
    if (it == present_.end()) return;
    present_.erase(it);
    events_.push_back({false, object});
    cv_.notify_all();
}

void SnapshotServices::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
}

// Callbacks run without the lock held: they walk the registry and may add notifications.
int SnapshotServices::deliverPending() {
    int delivered = 0;
    for (;;) {
        std::vector<std::pair<IOServiceMatchingCallback, std::pair<void*, io_iterator_t>>> arrivals;
        std::vector<std::pair<IOServiceInterestCallback, std::pair<void*, io_service_t>>> terminations;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (events_.empty()) return delivered;
            const Event e = events_.front();
            events_.pop_front();
            if (e.arrival) {
                for (auto& [handle, m] : matchings_) {
                    if (!m.ours) continue;
                    m.pending.push_back(e.object);
                    arrivals.push_back({m.callback, {m.refCon, handle}});
                }
            } else {
                for (auto it = interests_.begin(); it != interests_.end();) {
                    if (it->second.service == e.object) {
                        terminations.push_back({it->second.callback, {it->second.refCon, e.object}});
                        it = interests_.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
        }
        for (const auto& [cb, arg] : arrivals) {
            if (cb) cb(arg.first, arg.second);
            ++delivered;
        }
        for (const auto& [cb, arg] : terminations) {
            if (cb) cb(arg.first, arg.second, kIOMessageServiceIsTerminated, nullptr);
            ++delivered;
        }
    }
}

}  // namespace iokit
