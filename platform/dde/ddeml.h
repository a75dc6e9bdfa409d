// Dynamic Data Exchange Management Library: servers and clients of DDE
// conversations, between threads or processes of one user.
//
// A service registered with DdeNameService listens on a Unix socket in the
// per-user runtime folder, named after the case-folded service name; one
// socket connection carries one conversation. String handles are atoms of
// the process: one handle per case-folded text, reference counted, so two
// spellings that differ only in letter case are the same handle.
//
// Every transaction reaches an instance's callback on the thread that called
// DdeInitialize, from that thread's message loop (GetMessage/DispatchMessage
// of ui/winuser.h): the instance owns a hidden window there. A thread that
// runs no message loop receives nothing. DdePostAdvise is the exception: it
// calls XTYP_ADVREQ on the calling thread, before it returns, and then only
// queues the value for the client, so a slow client never holds the server
// up; a newer value of a link replaces one the client has not yet taken.
//
// Client transactions are synchronous and wait (bounded by their time-out)
// without running the calling thread's message loop, so a thread cannot be
// a synchronous client of a service that the same thread serves.
#pragma once

#include "platform/win/types.h"

typedef struct HCONV__* HCONV;
typedef struct HSZ__* HSZ;
typedef struct HDDEDATA__* HDDEDATA;
typedef struct HCONVLIST__* HCONVLIST;

typedef HDDEDATA CALLBACK FNCALLBACK(UINT type, UINT format, HCONV conversation, HSZ hsz1,
                                     HSZ hsz2, HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);
typedef FNCALLBACK* PFNCALLBACK;

// Conversation context: accepted by DdeConnect for the shape of the call,
// not interpreted.
struct CONVCONTEXT {
  UINT cb;
  UINT wFlags;
  UINT wCountryID;
  int iCodePage;
  DWORD dwLangID;
  DWORD dwSecurity;
};
typedef CONVCONTEXT* PCONVCONTEXT;

// Clipboard formats.
#define CF_TEXT 1
#define CF_UNICODETEXT 13

// Code pages of string handles.
#define CP_WINANSI 1004
#define CP_WINUNICODE 1200

// Transaction classes and flags.
#define XCLASS_MASK 0xFC00
#define XCLASS_BOOL 0x1000
#define XCLASS_DATA 0x2000
#define XCLASS_FLAGS 0x4000
#define XCLASS_NOTIFICATION 0x8000

#define XTYPF_NOBLOCK 0x0002
#define XTYPF_NODATA 0x0004
#define XTYPF_ACKREQ 0x0008

#define XTYP_ERROR (0x0000 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_ADVDATA (0x0010 | XCLASS_FLAGS)
#define XTYP_ADVREQ (0x0020 | XCLASS_DATA | XTYPF_NOBLOCK)
#define XTYP_ADVSTART (0x0030 | XCLASS_BOOL)
#define XTYP_ADVSTOP (0x0040 | XCLASS_NOTIFICATION)
#define XTYP_EXECUTE (0x0050 | XCLASS_FLAGS)
#define XTYP_CONNECT (0x0060 | XCLASS_BOOL | XTYPF_NOBLOCK)
#define XTYP_CONNECT_CONFIRM (0x0070 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_XACT_COMPLETE (0x0080 | XCLASS_NOTIFICATION)
#define XTYP_POKE (0x0090 | XCLASS_FLAGS)
#define XTYP_REGISTER (0x00A0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_REQUEST (0x00B0 | XCLASS_DATA)
#define XTYP_DISCONNECT (0x00C0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_UNREGISTER (0x00D0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_WILDCONNECT (0x00E0 | XCLASS_DATA | XTYPF_NOBLOCK)
#define XTYP_MONITOR (0x00F0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_MASK 0x00F0
#define XTYP_SHIFT 4

// Acknowledgement flags of poke, execute and advise data.
#define DDE_FACK 0x8000
#define DDE_FBUSY 0x4000
#define DDE_FNOTPROCESSED 0x0000

// DdeInitialize flags.
#define APPCLASS_STANDARD 0x00000000L
#define APPCLASS_MONITOR 0x00000001L
#define APPCLASS_MASK 0x0000000FL
#define APPCMD_CLIENTONLY 0x00000010L
#define APPCMD_FILTERINITS 0x00000020L
#define APPCMD_MASK 0x00000FF0L

#define CBF_FAIL_SELFCONNECTIONS 0x00001000
#define CBF_FAIL_CONNECTIONS 0x00002000
#define CBF_FAIL_ADVISES 0x00004000
#define CBF_FAIL_EXECUTES 0x00008000
#define CBF_FAIL_POKES 0x00010000
#define CBF_FAIL_REQUESTS 0x00020000
#define CBF_FAIL_ALLSVRXACTIONS 0x0003F000
#define CBF_SKIP_CONNECT_CONFIRMS 0x00040000
#define CBF_SKIP_REGISTRATIONS 0x00080000
#define CBF_SKIP_UNREGISTRATIONS 0x00100000
#define CBF_SKIP_DISCONNECTS 0x00200000
#define CBF_SKIP_ALLNOTIFICATIONS 0x003C0000

// Monitor flags (a monitor instance takes part in no conversation).
#define MF_HSZ_INFO 0x01000000
#define MF_SENDMSGS 0x02000000
#define MF_POSTMSGS 0x04000000
#define MF_CALLBACKS 0x08000000
#define MF_ERRORS 0x10000000
#define MF_LINKS 0x20000000
#define MF_CONV 0x40000000
#define MF_MASK 0xFF000000

// DdeNameService commands.
#define DNS_REGISTER 0x0001
#define DNS_UNREGISTER 0x0002
#define DNS_FILTERON 0x0004
#define DNS_FILTEROFF 0x0008

// Data handles.
#define HDATA_APPOWNED 0x0001

#define TIMEOUT_ASYNC 0xFFFFFFFF

// Error codes of DdeGetLastError and DdeInitialize.
#define DMLERR_NO_ERROR 0
#define DMLERR_FIRST 0x4000
#define DMLERR_ADVACKTIMEOUT 0x4000
#define DMLERR_BUSY 0x4001
#define DMLERR_DATAACKTIMEOUT 0x4002
#define DMLERR_DLL_NOT_INITIALIZED 0x4003
#define DMLERR_DLL_USAGE 0x4004
#define DMLERR_EXECACKTIMEOUT 0x4005
#define DMLERR_INVALIDPARAMETER 0x4006
#define DMLERR_LOW_MEMORY 0x4007
#define DMLERR_MEMORY_ERROR 0x4008
#define DMLERR_NOTPROCESSED 0x4009
#define DMLERR_NO_CONV_ESTABLISHED 0x400A
#define DMLERR_POKEACKTIMEOUT 0x400B
#define DMLERR_POSTMSG_FAILED 0x400C
#define DMLERR_REENTRANCY 0x400D
#define DMLERR_SERVER_DIED 0x400E
#define DMLERR_SYS_ERROR 0x400F
#define DMLERR_UNADVACKTIMEOUT 0x4010
#define DMLERR_UNFOUND_QUEUE_ID 0x4011
#define DMLERR_LAST 0x4011

// Instances. `*instance` must be 0 (re-initialising an instance is not
// offered). The calling thread becomes the instance's thread.
UINT DdeInitializeA(LPDWORD instance, PFNCALLBACK callback, DWORD commands, DWORD reserved);
// Ends every conversation, unregisters every service name and frees every
// string and data handle of the instance. Call it on the instance's thread.
BOOL DdeUninitialize(DWORD instance);
UINT DdeGetLastError(DWORD instance);

// String handles. Texts are 8-bit, 1 to 255 characters; code pages other
// than CP_WINANSI (or 0) are refused.
HSZ DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codePage);
BOOL DdeFreeStringHandle(DWORD instance, HSZ hsz);
BOOL DdeKeepStringHandle(DWORD instance, HSZ hsz);
// The text's length without the terminating zero; with a null `text` only
// the length. Copies at most `max` - 1 characters and a zero.
DWORD DdeQueryStringA(DWORD instance, HSZ hsz, LPSTR text, DWORD max, int codePage);
// 0 when both handles name the same text in any letter case, else -1 or 1
// in a fixed order.
int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2);

// Services. Answers a non-zero handle on success, 0 on failure.
HDDEDATA DdeNameService(DWORD instance, HSZ service, HSZ reserved, UINT command);

// Conversations (client side).
HCONV DdeConnect(DWORD instance, HSZ service, HSZ topic, PCONVCONTEXT context);
BOOL DdeDisconnect(HCONV conversation);
// XTYP_REQUEST answers a data handle that the caller frees; XTYP_ADVSTART
// (optionally with XTYPF_NODATA / XTYPF_ACKREQ), XTYP_ADVSTOP, XTYP_POKE
// and XTYP_EXECUTE answer a non-zero handle when the server accepted.
// TIMEOUT_ASYNC is not offered.
HDDEDATA DdeClientTransaction(LPBYTE data, DWORD size, HCONV conversation, HSZ item, UINT format,
                              UINT type, DWORD timeout, LPDWORD result);

// Data handles.
HDDEDATA DdeCreateDataHandle(DWORD instance, LPBYTE source, DWORD size, DWORD offset, HSZ item,
                             UINT format, UINT commands);
DWORD DdeGetData(HDDEDATA data, LPBYTE destination, DWORD max, DWORD offset);
LPBYTE DdeAccessData(HDDEDATA data, LPDWORD size);
BOOL DdeUnaccessData(HDDEDATA data);
BOOL DdeFreeDataHandle(HDDEDATA data);

// Tells every conversation with a hot or warm link on the topic and item
// (every item of the topic when `item` is null) that its data changed.
BOOL DdePostAdvise(DWORD instance, HSZ topic, HSZ item);

#define DdeInitialize DdeInitializeA
#define DdeCreateStringHandle DdeCreateStringHandleA
#define DdeQueryString DdeQueryStringA
