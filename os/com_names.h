// COM port names: the one mapping of "COMn" to the device it opens, for tqrf_init(),
// tqrf_reader_open(), tqrf_probe() and the tqrf_com_port_path() export. The device path of a
// number is the serial backend's (serial::device_path_for_port()); the name rules and the
// range of numbers are here, once for every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tqrf::serial {

// What a text says as a COM name: `is_com` when it is "COM" in any case followed by one or
// more decimal digits and nothing else; `number` their value (saturated at INT32_MAX).
struct ComName {
    bool is_com = false;
    std::int32_t number = 0;
};
ComName parse_com_name(const char* name);

// Writes the device path of COM port `number` into `out` (NUL-terminated). 0; or
// TQRF_ERR_BAD_ARGUMENT when the number is outside 1 to TQRF_COM_PORT_MAX (it names no
// device); TQRF_ERR_BUFFER_TOO_SMALL when the path does not fit. `out` is written only on 0.
std::int32_t com_port_path(std::int32_t number, char* out, std::size_t capacity);

}  // namespace tqrf::serial
