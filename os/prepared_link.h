// The link's two line modes (the address byte's, the frame's) as a serial backend keeps them:
// built once when a port opens, in the backend's own settings type, so that a command only
// writes them. Backend-independent: it never touches the port.
#pragma once

#include <cstddef>

#include "os/serial.h"

namespace tqrf::serial {

template <class Settings>
class PreparedLink {
  public:
    // Builds both modes with `build(mode, &settings)`; true when both could be built. A mode
    // that could not be built is never applied.
    template <class Build>
    bool prepare(const LineMode& address, const LineMode& frame, Build&& build) {
        ready_[0] = build(address, &settings_[0]);
        ready_[1] = build(frame, &settings_[1]);
        return ready_[0] && ready_[1];
    }
    // The settings of `mode`, or nullptr when it is no link mode or was not built.
    const Settings* find(LinkMode mode) const noexcept {
        const auto i = static_cast<std::size_t>(mode);
        return i < 2 && ready_[i] ? &settings_[i] : nullptr;
    }

  private:
    Settings settings_[2]{};
    bool ready_[2]{};
};

}  // namespace tqrf::serial
