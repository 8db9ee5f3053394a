// The texts the update procedures put on the status line and in their message boxes: the
// system's own words, byte for byte (odd spellings and trailing blanks included), in one place.
#pragma once

namespace firmware {

inline constexpr const char* kTextAllocError = "Allocate buffers Error!!";
inline constexpr const char* kTextAllocReadError = "Allocate read buffer Error!!";
inline constexpr const char* kTextAllocWriteError = "Allocate write buffer Error!!";
inline constexpr const char* kTextAmicUnknown = "Not Support this AMIC Flash Type!!";
inline constexpr const char* kTextAtmelFail = "Enable ATMEL flash write enable fail!!";
inline constexpr const char* kTextAutoReset = "Chip Auto reset, Please wait device re-attached!";
inline constexpr const char* kTextBackupNvramFail = "Backup NVRAM command fail!";
inline constexpr const char* kTextBoundaryError = "Offset Boundary error...";
inline constexpr const char* kTextCapacityError = "Buffer Capacity error...";
inline constexpr const char* kTextChipEraseFail = "Chip erase fail...";
inline constexpr const char* kTextCodeWithoutNvram = "The file starts with the code: this chip keeps its NVRAM there and its code from 4 KiB on.";
inline constexpr const char* kTextCompareFail = "Data compare fail !!";
inline constexpr const char* kTextDescriptorError = "Read Buffer Descriptor error...";
inline constexpr const char* kTextDownloadFail = "Download to RAM fail...";
inline constexpr const char* kTextDownloading = "Download to RAM...";
inline constexpr const char* kTextEraseCommandFail = "Erase command fail!!";
inline constexpr const char* kTextErasing = "Erasing";
inline constexpr const char* kTextFileBiggerThanFlash = "The firmware file size is bigger than the flash size!";
inline constexpr const char* kTextFwBiggerThanFlash = "FW size > flash size!!";
inline constexpr const char* kTextHddCompareFail = "Compare Data in HDD FAIL!!";
inline constexpr const char* kTextHddRead16Fail = "Read Data SCSI16 From HDD FAIL!!";
inline constexpr const char* kTextHddReadFail = "Read Data From HDD FAIL!!";
inline constexpr const char* kTextHddWrite16Fail = "Write Data SCSI16 To HDD FAIL!!";
inline constexpr const char* kTextHddWriteFail = "Write Data To HDD FAIL!!";
inline constexpr const char* kTextLegacyCompareFail = "Compare Fail!!\r\n\r\n";
inline constexpr const char* kTextLegacyReadFail = "Read Fail!!\r\n";
inline constexpr const char* kTextNotErased = "Data not 0xff !!";
inline constexpr const char* kTextNotReadyAfterErase = "Not ready after Erase flash success";
inline constexpr const char* kTextNotReadyAfterEraseCmd = "Not ready after Erase flash cmd success";
inline constexpr const char* kTextNvramBackFail = "Write NVRAM back command fail!";
inline constexpr const char* kTextOpenFileError = "Open File Error!!";
inline constexpr const char* kTextPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
inline constexpr const char* kTextPowerCycleLegacy = "Please Turn-Off the Power and Turn-On Again !";
inline constexpr const char* kTextProductReadFail = "Read back Product Error!!";
inline constexpr const char* kTextProgramming = "Programming";
inline constexpr const char* kTextProgrammingFail = "Programming Fail!!";
inline constexpr const char* kTextProgrammingFlash = "Programming Flash...";
inline constexpr const char* kTextReadAfterEraseFail = "Read back after erase fail!!";
inline constexpr const char* kTextReadCommandFail = "Read command fail!";
inline constexpr const char* kTextReadErasedError = "Read Back Erased Flash Error!!";
inline constexpr const char* kTextReadFwFail = "Read FW fail!";
inline constexpr const char* kTextReading = "ReadFlash...";
inline constexpr const char* kTextRecoveryFail = "FW Recovery Fail!!";
inline constexpr const char* kTextRecoveryOk = "FW Recovery successful!!";
inline constexpr const char* kTextSuccess = "Programming Success!!";
inline constexpr const char* kTextWriteBinFail = "Write Bin File fail!";
inline constexpr const char* kTextUnknownFlash = "Flash can NOT be operated because of unknown flash.";
inline constexpr const char* kTextWriteCommandFail = "Write command fail!";

}  // namespace firmware
