// The store-based selection entry point and the dialog's decisions, with a scripted backend
// standing in for the window system.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/SelfModule.h"
#include "platform/CertTestSupport.h"
#include "unit/TraceTestSession.h"
#include "picker/PickerBackend.h"
#include "picker/SelectCertificateDialog.h"

namespace {

using WString = std::basic_string<WCHAR>;
using certtest::Bytes;

using npk::test::SelfModule;

// What the user does in the scripted dialog, and what the dialog showed.
struct Script {
    enum Action { Ok, Cancel, CannotCreate, ListFails } action = Ok;
    std::vector<int> rows = {0};   // OK presses, in order, until one ends the dialog
    DWORD majorVersion = 10;
    DWORD createError = ERROR_NOT_SUPPORTED;

    int runs = 0;
    HRESULT initResult = S_OK;
    const SelectDialogParams* params = nullptr;
    SelectDialogParams seen = {};
    WString header;
    WString title, okText, cancelText;
    std::vector<WString> names;
    bool newerSystem = false;
    bool destroyed = false;
};
Script g_script;

WString Text(LPCWSTR p) { return p != nullptr ? WString(p) : WString(); }

class ScriptedBackend : public IPickerBackend {
public:
    INT_PTR DoModal(CSelectCertificateDlg& dlg, const SelectDialogParams* pParams) override
    {
        Script& s = g_script;
        ++s.runs;
        if (s.action == Script::CannotCreate) {
            SetLastError(s.createError);
            return -1;
        }
        s.params = pParams;
        if (pParams != nullptr) {
            s.seen = *pParams;
            s.title = Text(pParams->title);
            s.okText = Text(pParams->okText);
            s.cancelText = Text(pParams->cancelText);
        }
        INT_PTR result = 2;
        s.initResult = dlg.OnInitDialog(pParams, s.majorVersion);
        // As the window-system backends do: anything but S_OK ends the dialog unshown.
        if (s.initResult == S_OK) {
            s.header = dlg.GetHeaderText();
            s.newerSystem = dlg.IsNewerSystem();
            for (const CertificateItem& item : dlg.GetItems()) s.names.push_back(item.wszDisplayName);
            if (s.action == Script::ListFails) {
                dlg.SetErrorCode(E_OUTOFMEMORY);
            } else if (s.action == Script::Cancel) {
                result = dlg.OnCancel();
            } else {
                for (int row : s.rows) {
                    result = dlg.OnOK(row);
                    if (result != 0) break;
                }
            }
        }
        dlg.OnDestroy();
        s.destroyed = dlg.GetItems().empty();
        return result;
    }
};

std::unique_ptr<IPickerBackend> MakeScripted() { return std::make_unique<ScriptedBackend>(); }
std::unique_ptr<IPickerBackend> MakeNone()
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

class PickerDialog : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        g_script = Script();
        m_previous = SetPickerBackendFactory(MakeScripted);
        m_language = GetThreadUILanguage();
        SetThreadUILanguage(1033);
        m_store = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
        ASSERT_NE(m_store, nullptr);
    }
    void TearDown() override
    {
        if (m_store != nullptr) {
            EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG))
                << "every context the picker took from the store was given back";
        }
        SetPickerBackendFactory(m_previous);
        SetThreadUILanguage(m_language);
        IsolatedHome::TearDown();
    }

    Bytes Add(const char* name)
    {
        certtest::CertSpec wanted;
        wanted.subject = name;
        wanted.serial = {static_cast<BYTE>(++m_serial)};
        Bytes der = certtest::MakeCertificate(wanted);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(m_store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
        return der;
    }

    static Bytes Encoded(PCCERT_CONTEXT p) { return Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded); }

    SelectCertificateRequest Request(DWORD kind = 0)
    {
        SelectCertificateRequest r = {};
        r.kind = kind;
        r.resourceModule = SelfModule();
        return r;
    }

    HCERTSTORE m_store = nullptr;
    PickerBackendFactory m_previous = nullptr;
    LANGID m_language = 0;
    int m_serial = 0;
};

}  // namespace

TEST_F(PickerDialog, OkReturnsTheCardsCertificateWithItsOwnReference)
{
    Add("charlie");
    Bytes alpha = Add("alpha");
    Bytes beta = Add("Beta");
    g_script.rows = {1};
    SelectCertificateRequest request = Request();
    SetLastError(12345);
    PCCERT_CONTEXT chosen = CustomCryptUIDlgSelectCertificateFromStore(m_store, &request);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    const std::vector<WString> order = {TEXT("alpha"), TEXT("Beta"), TEXT("charlie")};
    EXPECT_EQ(g_script.names, order) << "cards are sorted by name without regard to case";
    EXPECT_EQ(Encoded(chosen), beta) << "row 1 of the sorted cards";
    EXPECT_TRUE(g_script.destroyed);

    // The reference outlives the store and everything the dialog held.
    ASSERT_TRUE(CertCloseStore(m_store, 0));
    m_store = nullptr;
    EXPECT_EQ(Encoded(chosen), beta);
    EXPECT_TRUE(CertFreeCertificateContext(chosen));
}

TEST_F(PickerDialog, CancelReturnsNullWithTheCancelCode)
{
    Add("one");
    Add("two");
    g_script.action = Script::Cancel;
    SelectCertificateRequest request = Request();
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), 0x20001002u);
    EXPECT_EQ(g_script.runs, 1);
}

TEST_F(PickerDialog, DefaultHeaderAndTextsForKindZero)
{
    Add("one");
    SelectCertificateRequest request = Request(0);
    request.title = TEXT("ignored");
    request.okText = TEXT("ignored");
    request.cancelText = TEXT("ignored");
    PCCERT_CONTEXT chosen = CustomCryptUIDlgSelectCertificateFromStore(m_store, &request);
    ASSERT_NE(chosen, nullptr);
    CertFreeCertificateContext(chosen);
    EXPECT_EQ(g_script.header, WString(TEXT("Select a Certificate")));
    EXPECT_EQ(g_script.seen.resourceModule, SelfModule());
    EXPECT_EQ(g_script.seen.store, m_store);
    EXPECT_EQ(g_script.seen.title, nullptr) << "kind 0 uses only the module";
    EXPECT_EQ(g_script.seen.okText, nullptr);
    EXPECT_EQ(g_script.seen.cancelText, nullptr);
    EXPECT_EQ(g_script.seen.headerText, nullptr);
    EXPECT_EQ(g_script.seen.reserved, 0u);
    EXPECT_TRUE(g_script.newerSystem);
}

TEST_F(PickerDialog, KindOnePassesItsTexts)
{
    Add("one");
    SelectCertificateRequest request = Request(1);
    request.title = TEXT("Choose");
    request.okText = TEXT("Use");
    request.cancelText = TEXT("Never mind");
    g_script.majorVersion = 5;
    PCCERT_CONTEXT chosen = CustomCryptUIDlgSelectCertificateFromStore(m_store, &request);
    ASSERT_NE(chosen, nullptr);
    CertFreeCertificateContext(chosen);
    EXPECT_EQ(g_script.title, WString(TEXT("Choose")));
    EXPECT_EQ(g_script.okText, WString(TEXT("Use")));
    EXPECT_EQ(g_script.cancelText, WString(TEXT("Never mind")));
    EXPECT_EQ(g_script.seen.headerText, nullptr);
    EXPECT_FALSE(g_script.newerSystem) << "major version 5 is the older system";
}

TEST_F(PickerDialog, UnknownKindOrNoRequestShowsNothing)
{
    Add("one");
    SelectCertificateRequest request = Request(2);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(g_script.runs, 0);
}

TEST_F(PickerDialog, EmptyStoreIsAFailureNotAnEmptyList)
{
    SelectCertificateRequest request = Request();
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), 0x20001001u) << "the no-certificate code, which the agent maps to 0xA0071001";
    EXPECT_TRUE(g_script.names.empty());

    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(nullptr, &request), nullptr);
    EXPECT_NE(GetLastError(), 0u) << "no store to list";
}

using tracetest::Step;
using tracetest::StepsOf;

TEST_F(PickerDialog, EmptyStoreIsTracedWithTheCodeTheDialogReturns)
{
    LoadTraceSupport();
    InitTracing();
    tracetest::Session session("npkPickerDialog", m_root + "/picker.etl");
    ASSERT_EQ(session.Start(), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(session.Enable(TRACE_FAILURE | TRACE_INFORMATION, 0), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_TRUE(tracetest::WaitForFlags(TRACE_FAILURE | TRACE_INFORMATION));

    SelectCertificateRequest request = Request();
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), 0x20001001u);
    session.Stop();
    std::vector<Step> steps = StepsOf(session.Events());
    CleanupTracing();

    const WString dialog = TEXT("CSelectCertificateDlg::");
    std::vector<Step> dialogSteps;
    for (const Step& step : steps)
        if (step.text.compare(0, dialog.size(), dialog) == 0) dialogSteps.push_back(step);
    // 0x20001001 is no failure HRESULT: an information step, sent with the value 0.
    ASSERT_EQ(dialogSteps.size(), 1u);
    EXPECT_EQ(dialogSteps[0].number, 13);
    EXPECT_EQ(dialogSteps[0].text, WString(TEXT("CSelectCertificateDlg::OnInitDialog - Check certificate count")));
    EXPECT_EQ(dialogSteps[0].value, 0);
}

TEST_F(PickerDialog, ChineseHeader)
{
    Add("one");
    SetThreadUILanguage(2052);
    g_script.action = Script::Cancel;
    SelectCertificateRequest request = Request();
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(g_script.header, WString(TEXT("选择证书")));
}

TEST_F(PickerDialog, ModuleWithoutStringsFailsTheInitialisation)
{
    Add("one");
    SelectCertificateRequest request = Request();
    request.resourceModule = reinterpret_cast<HINSTANCE>(&m_serial);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    DWORD error = GetLastError();
    EXPECT_NE(error, 0u);
    EXPECT_EQ(static_cast<HRESULT>(error), g_script.initResult);
}

TEST_F(PickerDialog, WindowThatCannotBeMadeSaysWhy)
{
    Add("one");
    g_script.action = Script::CannotCreate;
    SelectCertificateRequest request = Request();
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), 0x80070032u) << "HRESULT of ERROR_NOT_SUPPORTED";

    SetPickerBackendFactory(MakeNone);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), 0x80070008u) << "HRESULT of ERROR_NOT_ENOUGH_MEMORY";
}

TEST_F(PickerDialog, ListFailureEndsWithItsCode)
{
    Add("one");
    Add("two");
    g_script.action = Script::ListFails;
    SelectCertificateRequest request = Request();
    EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(m_store, &request), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
}

TEST_F(PickerDialog, OkWithoutASelectedRowKeepsTheDialogOpen)
{
    Bytes only = Add("only");
    g_script.rows = {-1, 5, 0};
    SelectCertificateRequest request = Request();
    PCCERT_CONTEXT chosen = CustomCryptUIDlgSelectCertificateFromStore(m_store, &request);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(Encoded(chosen), only);
    CertFreeCertificateContext(chosen);
}

TEST_F(PickerDialog, RunDialogReportsModalResultAndParameters)
{
    Add("one");
    HRESULT hr = 1;
    PCCERT_CONTEXT selected = reinterpret_cast<PCCERT_CONTEXT>(&hr);
    EXPECT_EQ(RunSelectCertificateDialog(&hr, nullptr, &selected), 2);
    EXPECT_EQ(hr, E_INVALIDARG) << "no parameters";
    EXPECT_EQ(selected, nullptr);

    SelectDialogParams params = {};
    params.resourceModule = SelfModule();
    params.store = m_store;
    params.headerText = TEXT("Pick the signer");
    EXPECT_EQ(RunSelectCertificateDialog(&hr, &params, &selected), 1);
    EXPECT_EQ(hr, S_OK);
    ASSERT_NE(selected, nullptr);
    CertFreeCertificateContext(selected);
    EXPECT_EQ(g_script.header, WString(TEXT("Pick the signer")));

    // A header longer than its 127 characters is cut, not overrun.
    WString longHeader(300, 'h');
    params.headerText = longHeader.c_str();
    g_script.action = Script::Cancel;
    EXPECT_EQ(RunSelectCertificateDialog(&hr, &params, &selected), 2);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x20001002));
    EXPECT_EQ(selected, nullptr);
    EXPECT_EQ(g_script.header, WString(127, 'h'));

    EXPECT_EQ(RunSelectCertificateDialog(nullptr, &params, &selected), -1);
    EXPECT_EQ(selected, nullptr);
}

TEST_F(PickerDialog, DialogObjectFreesWhatItWasNotAskedFor)
{
    Add("one");
    Add("two");
    SelectDialogParams params = {};
    params.resourceModule = SelfModule();
    params.store = m_store;
    {
        CSelectCertificateDlg dlg;
        ASSERT_EQ(dlg.OnInitDialog(&params, 6), S_OK);
        EXPECT_EQ(dlg.GetItems().size(), 2u);
        EXPECT_EQ(dlg.OnOK(1), 1);
        EXPECT_NE(dlg.GetSelectedCertificate(), nullptr);
        EXPECT_EQ(dlg.OnOK(0), 1) << "a second OK replaces the first choice";
        // Reloading replaces the cards rather than adding to them.
        ASSERT_EQ(dlg.LoadCertificates(m_store), S_OK);
        EXPECT_EQ(dlg.GetItems().size(), 2u);
        // Neither destroyed nor detached: the destructor gives everything back, which the
        // store's close check in TearDown proves.
    }
}
