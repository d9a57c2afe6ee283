// CCertificateList: the dialog's list box (control 1001), subclassed to draw every entry as an
// 80-pixel certificate card, with the hover highlight, a tooltip and the certificate viewer.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "picker/CertificateItem.h"
#include "picker/win32/PickerImage.h"

#ifndef OCM__BASE
#define OCM__BASE (WM_USER + 0x1c00)
#endif
#define OCM_DRAWITEM (OCM__BASE + WM_DRAWITEM)
#define OCM_MEASUREITEM (OCM__BASE + WM_MEASUREITEM)

class CCertificateList {
public:
    CCertificateList();
    ~CCertificateList();
    CCertificateList(const CCertificateList&) = delete;
    CCertificateList& operator=(const CCertificateList&) = delete;

    // Takes over an existing list box; false when it cannot.
    bool SubclassWindow(HWND hWnd);
    void UnsubclassWindow();
    HWND GetHwnd() const { return m_hWnd; }

    HRESULT Initialize(HINSTANCE hInstance, bool bNewerSystem, std::vector<CertificateItem> items);
    static HRESULT LoadImageFromResource(HINSTANCE hInstance, UINT uResourceId, PickerImage* pImage);
    static HRESULT LoadImageFromData(const BYTE* pbData, DWORD cbData, PickerImage* pImage);
    // The list item under the mouse cursor, or -1.
    int HitTestCursor() const;

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseMove(UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseLeave();
    LRESULT OnLButtonDblClk();
    LRESULT OnDrawItem(const DRAWITEMSTRUCT* pDraw);
    LRESULT OnMeasureItem(MEASUREITEMSTRUCT* pMeasure);
    void FillToolInfo(TOOLINFOW* pInfo, LPWSTR pwszText) const;
    void ReleaseImages();

    HWND m_hWnd;
    WNDPROC m_pfnPreviousProc;
    HINSTANCE m_hInstance;
    bool m_bNewerSystem;
    PickerImage m_systemImage;  // 105
    PickerImage m_keyImage;     // 106
    PickerImage m_frameImage;   // 107
    std::vector<CertificateItem> m_items;
    HWND m_hWndTooltip;
    bool m_bTracking;
};
