#include "driver/failure.h"

const char* FailureMessage(Failure failure) {
  switch (failure) {
    case Failure::None:
      break;
    case Failure::FileOpen:
      return "File Open Error\n";
    case Failure::FileRead:
      return "File Read Error\n";
    case Failure::FileWrite:
      return "File Write Error\n";
    case Failure::NotDsdiff:
      return "This is not a DSDIFF file.\n";
    case Failure::NoSoundData:
      return "No DSD sound data found.\n";
    case Failure::DataTooSmall:
      return "Data Size is not enough to convert.\n";
    case Failure::MemoryAlloc:
      return "Memory Alloc Error\n";
    case Failure::SameFile:
      return "Input and output must be different files.\n";
    case Failure::ChannelFilesBusy:
      return "Channel files are in use by another conversion.\n";
    case Failure::UnsupportedSound:
      return "This sound data is not supported.\n";
  }
  return "";
}
