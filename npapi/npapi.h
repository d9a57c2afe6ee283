// The NPAPI plug-in interface: basic types, constants, structures and the
// NPP_/NPN_ function prototypes, laid out as the published interface has them.
#pragma once

#include "nptypes.h"

#if defined(_WIN32)
#ifndef XP_WIN
#define XP_WIN 1
#endif
#elif !defined(XP_UNIX)
#define XP_UNIX 1
#endif

#if defined(XP_WIN)
#include <windows.h>
#endif

// Historical segment-loading qualifier; empty on every supported target.
#ifndef NP_LOADDS
#define NP_LOADDS
#endif

#define NP_VERSION_MAJOR 0
#define NP_VERSION_MINOR 27

#define NPVERS_HAS_STREAMOUTPUT             8
#define NPVERS_HAS_NOTIFICATION             9
#define NPVERS_HAS_LIVECONNECT              9
#define NPVERS_68K_HAS_LIVECONNECT          11
#define NPVERS_HAS_WINDOWLESS               11
#define NPVERS_HAS_XPCONNECT_SCRIPTING      13
#define NPVERS_HAS_NPRUNTIME_SCRIPTING      14
#define NPVERS_HAS_FORM_VALUES              15
#define NPVERS_HAS_POPUPS_ENABLED_STATE     16
#define NPVERS_HAS_RESPONSE_HEADERS         17
#define NPVERS_HAS_NPOBJECT_ENUM            18
#define NPVERS_HAS_PLUGIN_THREAD_ASYNC_CALL 19
#define NPVERS_HAS_ALL_NETWORK_STREAMS      20
#define NPVERS_HAS_URL_AND_AUTH_INFO        21
#define NPVERS_HAS_PRIVATE_MODE             22
#define NPVERS_MACOSX_HAS_COCOA_EVENTS      23
#define NPVERS_HAS_ADVANCED_KEY_HANDLING    25
#define NPVERS_HAS_URL_REDIRECT_HANDLING    26
#define NPVERS_HAS_CLEAR_SITE_DATA          27

typedef unsigned char NPBool;
typedef int16_t       NPError;
typedef int16_t       NPReason;
typedef char*         NPMIMEType;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// One plug-in instance as the browser sees it.
typedef struct _NPP {
  void* pdata;  // the plug-in's data
  void* ndata;  // the browser's data
} NPP_t;
typedef NPP_t* NPP;

typedef struct _NPStream {
  void*       pdata;
  void*       ndata;
  const char* url;
  uint32_t    end;
  uint32_t    lastmodified;
  void*       notifyData;
  const char* headers;
} NPStream;

typedef struct _NPByteRange {
  int32_t              offset;
  uint32_t             length;
  struct _NPByteRange* next;
} NPByteRange;

typedef struct _NPSavedData {
  int32_t len;
  void*   buf;
} NPSavedData;

typedef struct _NPRect {
  uint16_t top;
  uint16_t left;
  uint16_t bottom;
  uint16_t right;
} NPRect;

typedef struct _NPSize {
  int32_t width;
  int32_t height;
} NPSize;

typedef enum {
  NPFocusNext = 0,
  NPFocusPrevious = 1
} NPFocusDirection;

typedef enum {
  NPImageFormatBGRA32 = 0x1,
  NPImageFormatBGRX32 = 0x2
} NPImageFormat;

typedef struct _NPAsyncSurface {
  uint32_t version;
  NPSize   size;
  NPImageFormat format;
  union {
    struct {
      uint32_t stride;
      void*    data;
    } bitmap;
    void* sharedHandle;
  };
} NPAsyncSurface;

#if defined(XP_UNIX)
// Window-system information handed with NPWindow on X11 browsers.
typedef struct {
  int32_t      type;
  void*        display;   // Display*
  void*        visual;    // Visual*
  unsigned long colormap; // Colormap
  unsigned int depth;
} NPSetWindowCallbackStruct;

typedef struct {
  int32_t type;
  void*   fp;             // FILE*
} NPPrintCallbackStruct;
#endif

typedef enum {
  NPWindowTypeWindow = 1,
  NPWindowTypeDrawable
} NPWindowType;

typedef struct _NPWindow {
  void*    window;   // HWND on Windows, an X window id on Unix
  int32_t  x;
  int32_t  y;
  uint32_t width;
  uint32_t height;
  NPRect   clipRect;
#if defined(XP_UNIX)
  void*    ws_info;  // NPSetWindowCallbackStruct*
#endif
  NPWindowType type;
} NPWindow;

typedef struct _NPImageExpose {
  char*   data;
  int32_t stride;
  int32_t depth;
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
  NPSize  dataSize;
  float   translateX;
  float   translateY;
  float   scaleX;
  float   scaleY;
} NPImageExpose;

typedef struct _NPFullPrint {
  NPBool pluginPrinted;
  NPBool printOne;
  void*  platformPrint;
} NPFullPrint;

typedef struct _NPEmbedPrint {
  NPWindow window;
  void*    platformPrint;
} NPEmbedPrint;

typedef struct _NPPrint {
  uint16_t mode;  // NP_FULL or NP_EMBED
  union {
    NPFullPrint  fullPrint;
    NPEmbedPrint embedPrint;
  } print;
} NPPrint;

// A window-system event. The plug-in handles none, so the Windows shape serves
// on every platform; X11 browsers pass an XEvent, which is only ever forwarded.
typedef struct _NPEvent {
  uint16_t  event;
  uintptr_t wParam;
  uintptr_t lParam;
} NPEvent;

typedef void* NPRegion;
typedef void  NPMenu;

typedef enum {
  NPCoordinateSpacePlugin = 1,
  NPCoordinateSpaceWindow,
  NPCoordinateSpaceFlippedWindow,
  NPCoordinateSpaceScreen,
  NPCoordinateSpaceFlippedScreen
} NPCoordinateSpace;

// Values the browser asks the plug-in for (NPP_GetValue).
typedef enum {
  NPPVpluginNameString = 1,
  NPPVpluginDescriptionString = 2,
  NPPVpluginWindowBool = 3,
  NPPVpluginTransparentBool = 4,
  NPPVjavaClass = 5,
  NPPVpluginWindowSize = 6,
  NPPVpluginTimerInterval = 7,
  NPPVpluginScriptableInstance = (10 << 8),
  NPPVpluginScriptableIID = 11,
  NPPVjavascriptPushCallerBool = 12,
  NPPVpluginKeepLibraryInMemory = 13,
  NPPVpluginNeedsXEmbed = 14,
  NPPVpluginScriptableNPObject = 15,
  NPPVformValue = 16,
  NPPVpluginUrlRequestsDisplayedBool = 17,
  NPPVpluginWantsAllNetworkStreams = 18,
  NPPVpluginNativeAccessibleAtkPlugId = 19,
  NPPVpluginCancelSrcStream = 20,
  NPPVsupportsAdvancedKeyHandling = 21,
  NPPVpluginUsesDOMForCursorBool = 22,
  NPPVpluginDrawingModel = 1000,
  NPPVpluginEventModel = 1001,
  NPPVpluginCoreAnimationLayer = 1003
} NPPVariable;

// Values the plug-in asks the browser for (NPN_GetValue).
typedef enum {
  NPNVxDisplay = 1,
  NPNVxtAppContext = 2,
  NPNVnetscapeWindow = 3,
  NPNVjavascriptEnabledBool = 4,
  NPNVasdEnabledBool = 5,
  NPNVisOfflineBool = 6,
  NPNVserviceManager = (10 << 8),
  NPNVDOMElement = (11 << 8),
  NPNVDOMWindow = (12 << 8),
  NPNVToolkit = (13 << 8),
  NPNVSupportsXEmbedBool = 14,
  NPNVWindowNPObject = 15,
  NPNVPluginElementNPObject = 16,
  NPNVSupportsWindowless = 17,
  NPNVprivateModeBool = 18,
  NPNVsupportsAdvancedKeyHandling = 21,
  NPNVdocumentOrigin = 22,
  NPNVpluginDrawingModel = 1000,
  NPNVsupportsCoreGraphicsBool = 2001,
  NPNVsupportsOpenGLBool = 2002,
  NPNVsupportsCoreAnimationBool = 2003,
  NPNVsupportsInvalidatingCoreAnimationBool = 2004,
  NPNVsupportsCocoaBool = 3001
} NPNVariable;

typedef enum {
  NPNURLVCookie = 501,
  NPNURLVProxy
} NPNURLVariable;

typedef enum {
  NPNVGtk12 = 1,
  NPNVGtk2
} NPNToolkitType;

// Plug-in modes (NPP_New).
#define NP_EMBED 1
#define NP_FULL  2

// Stream types (NPP_NewStream).
#define NP_NORMAL     1
#define NP_SEEK       2
#define NP_ASFILE     3
#define NP_ASFILEONLY 4

#define NP_MAXREADY (((unsigned)(~0) << 1) >> 1)

#define NP_CLEAR_ALL   0
#define NP_CLEAR_CACHE (1 << 0)
#define NP_CLEAR_MAX_AGE_ALL ((uint64_t)-1)

// Error codes.
#define NPERR_BASE                         0
#define NPERR_NO_ERROR                     (NPERR_BASE + 0)
#define NPERR_GENERIC_ERROR                (NPERR_BASE + 1)
#define NPERR_INVALID_INSTANCE_ERROR       (NPERR_BASE + 2)
#define NPERR_INVALID_FUNCTABLE_ERROR      (NPERR_BASE + 3)
#define NPERR_MODULE_LOAD_FAILED_ERROR     (NPERR_BASE + 4)
#define NPERR_OUT_OF_MEMORY_ERROR          (NPERR_BASE + 5)
#define NPERR_INVALID_PLUGIN_ERROR         (NPERR_BASE + 6)
#define NPERR_INVALID_PLUGIN_DIR_ERROR     (NPERR_BASE + 7)
#define NPERR_INCOMPATIBLE_VERSION_ERROR   (NPERR_BASE + 8)
#define NPERR_INVALID_PARAM                (NPERR_BASE + 9)
#define NPERR_INVALID_URL                  (NPERR_BASE + 10)
#define NPERR_FILE_NOT_FOUND               (NPERR_BASE + 11)
#define NPERR_NO_DATA                      (NPERR_BASE + 12)
#define NPERR_STREAM_NOT_SEEKABLE          (NPERR_BASE + 13)
#define NPERR_TIME_RANGE_NOT_SUPPORTED     (NPERR_BASE + 14)
#define NPERR_MALFORMED_SITE               (NPERR_BASE + 15)

// Stream end reasons.
#define NPRES_BASE        0
#define NPRES_DONE        (NPRES_BASE + 0)
#define NPRES_NETWORK_ERR (NPRES_BASE + 1)
#define NPRES_USER_BREAK  (NPRES_BASE + 2)

#ifdef __cplusplus
extern "C" {
#endif

// Plug-in side: called by the browser.
NPError NP_LOADDS NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc,
                          char* argn[], char* argv[], NPSavedData* saved);
NPError NP_LOADDS NPP_Destroy(NPP instance, NPSavedData** save);
NPError NP_LOADDS NPP_SetWindow(NPP instance, NPWindow* window);
NPError NP_LOADDS NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable,
                                uint16_t* stype);
NPError NP_LOADDS NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
int32_t NP_LOADDS NPP_WriteReady(NPP instance, NPStream* stream);
int32_t NP_LOADDS NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer);
void    NP_LOADDS NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname);
void    NP_LOADDS NPP_Print(NPP instance, NPPrint* platformPrint);
int16_t NP_LOADDS NPP_HandleEvent(NPP instance, void* event);
void    NP_LOADDS NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData);
NPError NP_LOADDS NPP_GetValue(NPP instance, NPPVariable variable, void* value);
NPError NP_LOADDS NPP_SetValue(NPP instance, NPNVariable variable, void* value);
NPBool  NP_LOADDS NPP_GotFocus(NPP instance, NPFocusDirection direction);
void    NP_LOADDS NPP_LostFocus(NPP instance);
void    NP_LOADDS NPP_URLRedirectNotify(NPP instance, const char* url, int32_t status, void* notifyData);
NPError NP_LOADDS NPP_ClearSiteData(const char* site, uint64_t flags, uint64_t maxAge);
char**  NP_LOADDS NPP_GetSitesWithData(void);
void    NP_LOADDS NPP_DidComposite(NPP instance);
const char* NPP_GetMIMEDescription(void);

// Browser side: called by the plug-in.
void        NP_LOADDS NPN_Version(int* plugin_major, int* plugin_minor, int* netscape_major,
                                  int* netscape_minor);
NPError     NP_LOADDS NPN_GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData);
NPError     NP_LOADDS NPN_GetURL(NPP instance, const char* url, const char* target);
NPError     NP_LOADDS NPN_PostURLNotify(NPP instance, const char* url, const char* target, uint32_t len,
                                        const char* buf, NPBool file, void* notifyData);
NPError     NP_LOADDS NPN_PostURL(NPP instance, const char* url, const char* target, uint32_t len,
                                  const char* buf, NPBool file);
NPError     NP_LOADDS NPN_RequestRead(NPStream* stream, NPByteRange* rangeList);
NPError     NP_LOADDS NPN_NewStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream);
int32_t     NP_LOADDS NPN_Write(NPP instance, NPStream* stream, int32_t len, void* buffer);
NPError     NP_LOADDS NPN_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
void        NP_LOADDS NPN_Status(NPP instance, const char* message);
const char* NP_LOADDS NPN_UserAgent(NPP instance);
void*       NP_LOADDS NPN_MemAlloc(uint32_t size);
void        NP_LOADDS NPN_MemFree(void* ptr);
uint32_t    NP_LOADDS NPN_MemFlush(uint32_t size);
void        NP_LOADDS NPN_ReloadPlugins(NPBool reloadPages);
NPError     NP_LOADDS NPN_GetValue(NPP instance, NPNVariable variable, void* value);
NPError     NP_LOADDS NPN_SetValue(NPP instance, NPPVariable variable, void* value);
void        NP_LOADDS NPN_InvalidateRect(NPP instance, NPRect* invalidRect);
void        NP_LOADDS NPN_InvalidateRegion(NPP instance, NPRegion invalidRegion);
void        NP_LOADDS NPN_ForceRedraw(NPP instance);
void        NP_LOADDS NPN_PushPopupsEnabledState(NPP instance, NPBool enabled);
void        NP_LOADDS NPN_PopPopupsEnabledState(NPP instance);
void        NP_LOADDS NPN_PluginThreadAsyncCall(NPP instance, void (*func)(void*), void* userData);
NPError     NP_LOADDS NPN_GetValueForURL(NPP instance, NPNURLVariable variable, const char* url,
                                         char** value, uint32_t* len);
NPError     NP_LOADDS NPN_SetValueForURL(NPP instance, NPNURLVariable variable, const char* url,
                                         const char* value, uint32_t len);
NPError     NP_LOADDS NPN_GetAuthenticationInfo(NPP instance, const char* protocol, const char* host,
                                                int32_t port, const char* scheme, const char* realm,
                                                char** username, uint32_t* ulen, char** password,
                                                uint32_t* plen);
uint32_t    NP_LOADDS NPN_ScheduleTimer(NPP instance, uint32_t interval, NPBool repeat,
                                        void (*timerFunc)(NPP npp, uint32_t timerID));
void        NP_LOADDS NPN_UnscheduleTimer(NPP instance, uint32_t timerID);
NPError     NP_LOADDS NPN_PopUpContextMenu(NPP instance, NPMenu* menu);
NPBool      NP_LOADDS NPN_ConvertPoint(NPP instance, double sourceX, double sourceY,
                                       NPCoordinateSpace sourceSpace, double* destX, double* destY,
                                       NPCoordinateSpace destSpace);
NPBool      NP_LOADDS NPN_HandleEvent(NPP instance, void* event, NPBool handled);
NPBool      NP_LOADDS NPN_UnfocusInstance(NPP instance, NPFocusDirection direction);
void        NP_LOADDS NPN_URLRedirectResponse(NPP instance, void* notifyData, NPBool allow);

#ifdef __cplusplus
}
#endif
