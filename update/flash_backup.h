// Reading a bridge's whole flash out through its family's own read path: the buffer read of the
// QVR29x bridges, the direct read of the direct-command families, the bridge's flash read for the
// others, the chip buffer of the QVR294. Used to keep a copy before an update and to verify one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/update_window.h"

namespace firmware {

// Over1394: the QVD525 on a 1394 connection, read as its update reads it.
enum class ReadPath { None, Buffer, Direct, SerialFlash, Qvr294, Over1394 };

ReadPath readPathFor(const SelectedDevice& dev, bool bufferDescriptorReadable);
const char* readPathName(ReadPath p);

// Reads `length` bytes from flash address 0 (0: the whole flash as identified). False, with the
// reason in `error`, when the family has no read path or a read fails.
bool readFlash(UpdateWindow& w, const SelectedDevice& dev, uint32_t length, std::vector<uint8_t>& out,
               std::string& error);

}  // namespace firmware
