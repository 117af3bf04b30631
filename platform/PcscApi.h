// PcscApi: the PC/SC functions the card layer calls, gathered in one table.
// The default table points at pcsc-lite; tests install a scripted table so
// that reader behaviour pcscd cannot produce (T=0, pin-pad readers, card
// removal at a chosen moment) can be exercised.
#pragma once

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

namespace kivo {

struct PcscApi {
    LONG (*EstablishContext)(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                             LPSCARDCONTEXT context);
    LONG (*ReleaseContext)(SCARDCONTEXT context);
    LONG (*ListReaders)(SCARDCONTEXT context, LPCSTR groups, LPSTR readers,
                        LPDWORD readersLength);
    LONG (*FreeMemory)(SCARDCONTEXT context, LPCVOID memory);
    LONG (*GetStatusChange)(SCARDCONTEXT context, DWORD timeout,
                            SCARD_READERSTATE* states, DWORD count);
    LONG (*Connect)(SCARDCONTEXT context, LPCSTR reader, DWORD shareMode,
                    DWORD preferredProtocols, LPSCARDHANDLE card,
                    LPDWORD activeProtocol);
    LONG (*Reconnect)(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols,
                      DWORD initialization, LPDWORD activeProtocol);
    LONG (*Disconnect)(SCARDHANDLE card, DWORD disposition);
    LONG (*Status)(SCARDHANDLE card, LPSTR readerNames, LPDWORD readerLength,
                   LPDWORD state, LPDWORD protocol, LPBYTE atr, LPDWORD atrLength);
    LONG (*Transmit)(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci,
                     LPCBYTE sendBuffer, DWORD sendLength,
                     SCARD_IO_REQUEST* recvPci, LPBYTE recvBuffer,
                     LPDWORD recvLength);
    LONG (*Control)(SCARDHANDLE card, DWORD controlCode, LPCVOID inBuffer,
                    DWORD inLength, LPVOID outBuffer, DWORD outLength,
                    LPDWORD bytesReturned);
    LONG (*GetAttrib)(SCARDHANDLE card, DWORD attributeId, LPBYTE attribute,
                      LPDWORD attributeLength);
};

// The table in use: the one installed by setPcscApi, else pcsc-lite's.
const PcscApi& pcscApi();
// The table that calls pcsc-lite.
const PcscApi& defaultPcscApi();
// Installs a table (it must outlive its use); null restores pcsc-lite.
void setPcscApi(const PcscApi* api);

// Installs a table for the lifetime of the guard and restores the previous
// one afterwards.
class ScopedPcscApi {
public:
    explicit ScopedPcscApi(const PcscApi& api);
    ~ScopedPcscApi();
    ScopedPcscApi(const ScopedPcscApi&) = delete;
    ScopedPcscApi& operator=(const ScopedPcscApi&) = delete;

private:
    const PcscApi* m_previous;
};

}  // namespace kivo
