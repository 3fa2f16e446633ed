/* The one function of Windows' bcryptprimitives.dll that programs built by
 * Rust 1.78 or newer import (mypy's parser among them), for wine 8, which
 * has no such DLL: the system's random number generator through bcrypt. */
#include <windows.h>
#include <bcrypt.h>

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T length)
{
    while (length > 0) {
        ULONG chunk = length > 0x40000000 ? 0x40000000 : (ULONG)length;
        if (BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return FALSE;
        data += chunk;
        length -= chunk;
    }
    return TRUE;
}
