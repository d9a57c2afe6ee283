// The GTK picker inside the test process, on an Xvfb display of the test's own: what the
// backend traces when its list cannot be set up, and a second picker in the same process.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gui/GuiSupport.h"
#include "kernel32/resources/ResourceImage.h"
#include "picker/PickerBackend.h"
#include "picker/SelectCertificateDialog.h"
#include "platform/CertTestSupport.h"
#include "unit/TraceTestSession.h"

namespace npk::test {
namespace {

using WString = std::basic_string<WCHAR>;

void PutWord(std::vector<BYTE>& v, WORD w)
{
    v.push_back(static_cast<BYTE>(w));
    v.push_back(static_cast<BYTE>(w >> 8));
}

void PutDword(std::vector<BYTE>& v, DWORD d)
{
    PutWord(v, static_cast<WORD>(d));
    PutWord(v, static_cast<WORD>(d >> 16));
}

// A .res image with one string table block (strings 192 to 207) in English and nothing else:
// the picker's texts without its images.
std::vector<BYTE> StringsOnlyImage()
{
    std::vector<WString> block(16);
    block[203 - 192] = TEXT("Select a Certificate");
    block[205 - 192] = TEXT("Issuer: %ws");
    block[206 - 192] = TEXT("SN: %ws");
    block[207 - 192] = TEXT("Valid From: %02d/%02d/%04d to %02d/%02d/%04d");
    std::vector<BYTE> data;
    for (const WString& s : block) {
        PutWord(data, static_cast<WORD>(s.size()));
        for (WCHAR c : s) PutWord(data, static_cast<WORD>(c));
    }
    std::vector<BYTE> image = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
    image.resize(32, 0);
    std::vector<BYTE> header;
    PutWord(header, 0xFFFF);
    PutWord(header, 6);  // RT_STRING
    PutWord(header, 0xFFFF);
    PutWord(header, 203 / 16 + 1);
    PutDword(header, 0);       // DataVersion
    PutWord(header, 0x1030);   // MemoryFlags
    PutWord(header, 1033);
    PutDword(header, 0);       // Version
    PutDword(header, 0);       // Characteristics
    PutDword(image, static_cast<DWORD>(data.size()));
    PutDword(image, static_cast<DWORD>(header.size()) + 8);
    image.insert(image.end(), header.begin(), header.end());
    image.insert(image.end(), data.begin(), data.end());
    while (image.size() % 4 != 0) image.push_back(0);
    return image;
}

// A module handle no loaded object has; the image above is attached to it.
HMODULE StringsOnlyModule() { return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7e5f0000)); }

using tracetest::Step;
using tracetest::StepsOf;

// Runs a function with the process's standard error going to a file; returns what it wrote.
template <typename F>
std::string StandardErrorOf(const fs::path& file, F f)
{
    std::fflush(stderr);
    const int saved = dup(2);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class GtkPickerInProcess : public tracetest::TraceTest {
protected:
    // GTK keeps its connection to the first display it opened for the life of the process, so
    // the tests of one process share one server.
    static void SetUpTestSuite()
    {
        const std::string xvfb = FindProgram("Xvfb");
        if (xvfb.empty()) return;
        s_logs = fs::temp_directory_path() / ("npk-gtk-inprocess-" + std::to_string(getpid()));
        fs::create_directories(s_logs);
        s_display = new XvfbDisplay;
        s_displayName = s_display->Start(xvfb, s_logs);
    }

    static void TearDownTestSuite()
    {
        delete s_display;
        s_display = nullptr;
        std::error_code ec;
        fs::remove_all(s_logs, ec);
    }

    void SetUp() override
    {
        TraceTest::SetUp();
        if (HasFatalFailure()) return;
        if (s_display == nullptr) GTEST_SKIP() << "Xvfb is needed (make deps)";
        ASSERT_FALSE(s_displayName.empty()) << "no free X display";
        setenv("DISPLAY", s_displayName.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        setenv("NO_AT_BRIDGE", "1", 1);
        m_store = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
        ASSERT_NE(m_store, nullptr);
        for (const char* name : {"CN=Alice", "CN=Bob"}) {
            certtest::CertSpec spec;
            spec.subject = name;
            spec.serial = {static_cast<BYTE>(name[3])};
            certtest::Bytes der = certtest::MakeCertificate(spec);
            ASSERT_TRUE(CertAddEncodedCertificateToStore(m_store, X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
        }
    }

    void TearDown() override
    {
        if (m_store != nullptr) EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG));
        TraceTest::TearDown();
    }

    static XvfbDisplay* s_display;
    static std::string s_displayName;
    static fs::path s_logs;
    HCERTSTORE m_store = nullptr;
};

XvfbDisplay* GtkPickerInProcess::s_display = nullptr;
std::string GtkPickerInProcess::s_displayName;
fs::path GtkPickerInProcess::s_logs;

// Also a second picker in one process: GTK's locale switch may be set only once, before its
// first initialisation; asking again makes GTK complain on standard error.
TEST_F(GtkPickerInProcess, CardImagesThatCannotBeLoadedAreAStepOfTheDialogsInitialisation)
{
    const std::vector<BYTE> image = StringsOnlyImage();
    ASSERT_TRUE(npk::res::AttachImage(StringsOnlyModule(), image.data(), image.size()));
    StartTracingWith(TRACE_FAILURE | TRACE_INFORMATION);

    SelectDialogParams params = {};
    params.resourceModule = StringsOnlyModule();
    params.store = m_store;
    HRESULT hr = S_OK;
    PCCERT_CONTEXT selected = nullptr;
    INT_PTR result = 0;
    const std::string firstErr = StandardErrorOf(fs::path(m_root) / "first.err", [&] {
        result = RunSelectCertificateDialog(&hr, &params, &selected);
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND)) << "no PNG resources at all";
    EXPECT_EQ(selected, nullptr);
    EXPECT_EQ(firstErr.find("gtk_disable_setlocale"), std::string::npos) << firstErr;

    // The same again: the second picker of the process.
    hr = S_OK;
    const std::string secondErr = StandardErrorOf(fs::path(m_root) / "second.err", [&] {
        result = RunSelectCertificateDialog(&hr, &params, &selected);
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(secondErr.find("gtk_disable_setlocale"), std::string::npos) << secondErr;
    EXPECT_EQ(secondErr.find("Gtk-WARNING"), std::string::npos) << secondErr;

    const std::vector<Step> steps = StepsOf(StopAndRead());
    npk::res::DetachImage(StringsOnlyModule());

    const WString expected = TEXT("CSelectCertificateDlg::OnInitDialog - CCertificateList::Initialize");
    int found = 0;
    for (const Step& step : steps) {
        EXPECT_EQ(step.text.find(TEXT("CGtkPickerBackend")), WString::npos) << "a step under the backend's name";
        if (step.text == expected) {
            ++found;
            EXPECT_EQ(step.number, 12);
            EXPECT_EQ(step.value, HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
        }
    }
    EXPECT_EQ(found, 2) << "one failed step per picker";
}

// Closes every window still shown after a while, so that a picker shown by mistake cannot
// hang the test; records that it had to.
gboolean CloseStrayWindows(gpointer pClosed)
{
    GList* windows = gtk_window_list_toplevels();
    for (GList* p = windows; p != nullptr; p = p->next) {
        if (gtk_widget_get_visible(GTK_WIDGET(p->data))) {
            *static_cast<bool*>(pClosed) = true;
            gtk_window_close(GTK_WINDOW(p->data));
        }
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
}

TEST_F(GtkPickerInProcess, AStoreWithNothingToListEndsThePickerUnshown)
{
    HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    SelectDialogParams params = {};
    params.store = empty;
    HRESULT hr = S_OK;
    PCCERT_CONTEXT selected = nullptr;
    bool closed = false;
    const guint watchdog = g_timeout_add(4000, CloseStrayWindows, &closed);
    const INT_PTR result = RunSelectCertificateDialog(&hr, &params, &selected);
    g_source_remove(watchdog);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x20001001));
    EXPECT_EQ(selected, nullptr);
    EXPECT_FALSE(closed) << "an empty picker was shown";
    CertCloseStore(empty, 0);
}

}  // namespace
}  // namespace npk::test
