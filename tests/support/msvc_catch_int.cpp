// Built with the MSVC C++ ABI (tests/support/MsvcAbi.cmake): a catch(int)
// exactly as an MSVC-built host has it, for MinGW-built tests to call.

// The integer a call throws, or -1 when it returned and -2 when it threw
// something else.
extern "C" int MsvcCatchInt(void (*call)()) {
  try {
    call();
  } catch (int value) {
    return value;
  } catch (...) {
    return -2;
  }
  return -1;
}
