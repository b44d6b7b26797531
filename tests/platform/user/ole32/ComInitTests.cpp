// ole32's apartments and process security: what each initialisation of a thread answers, and
// what needs COM on the calling thread.
#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include <gtest/gtest.h>

#include <thread>

namespace
{

// Runs a body on a fresh thread (one without COM) and waits for it.
template <typename Body>
void OnFreshThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

TEST(ComInitTest, FurtherInitialisationsInTheSameModelAnswerFalseAndAnotherModelIsRefused)
{
    OnFreshThread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        // Uninitialised as often as initialised: the thread may choose again.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}

TEST(ComInitTest, EachThreadHasItsOwnApartment)
{
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        OnFreshThread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
            CoUninitialize();
        });
        CoUninitialize();
    });
}

TEST(ComInitTest, CreatingAnObjectNeedsComOnTheThread)
{
    OnFreshThread([] {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(
            CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object),
            CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        EXPECT_EQ(
            CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object),
            CO_E_NOTINITIALIZED);
    });
}

// The only test of this program that initialises the process's security: once a process.
TEST(ComInitTest, SecurityIsInitialisedOnceAProcessFromAThreadWithCom)
{
    OnFreshThread([] {
        EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
                  CO_E_NOTINITIALIZED);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
                  S_OK);
        EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
                  RPC_E_TOO_LATE);
        CoUninitialize();
    });
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
                  RPC_E_TOO_LATE);
        CoUninitialize();
    });
}

} // namespace

namespace
{

TEST(ClsidFromStringTest, ReadsTheBracedFormAndRefusesEverythingElse)
{
    const CLSID expected = {0x6F3B7A52, 0x4C1E, 0x4D7B, {0x9A, 0x85, 0x2E, 0x61, 0xC0, 0xD9, 0x4B, 0x17}};
    CLSID clsid;
    EXPECT_EQ(CLSIDFromString(L"{6F3B7A52-4C1E-4D7B-9A85-2E61C0D94B17}", &clsid), NOERROR);
    EXPECT_TRUE(IsEqualGUID(clsid, expected));
    EXPECT_EQ(CLSIDFromString(L"{6f3b7a52-4c1e-4d7b-9a85-2e61c0d94b17}", &clsid), NOERROR);
    EXPECT_TRUE(IsEqualGUID(clsid, expected));
    EXPECT_EQ(CLSIDFromString(NULL, &clsid), NOERROR);
    EXPECT_TRUE(IsEqualGUID(clsid, GUID{}));

    const WCHAR* bad[] = {
        L"6F3B7A52-4C1E-4D7B-9A85-2E61C0D94B17",    // no braces
        L"{6F3B7A52-4C1E-4D7B-9A85-2E61C0D94B1}",   // a digit short
        L"{6F3B7A52-4C1E-4D7B-9A85-2E61C0D94B17}x", // trailing text
        L"{6F3B7A52-4C1E-4D7B-9A852E61C0D94B17-}",  // dash misplaced
        L"{6F3B7A52-4C1E-4D7B-9A85-2E61C0D94BG7}",  // not hex
        L"{",
        L"Some.ProgID",
    };
    for (const WCHAR* text : bad)
    {
        clsid = expected;
        EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING);
        EXPECT_TRUE(IsEqualGUID(clsid, GUID{})) << "the result is cleared";
    }
    EXPECT_EQ(CLSIDFromString(L"{6F3B7A52-4C1E-4D7B-9A85-2E61C0D94B17}", NULL), E_INVALIDARG);
}

} // namespace
