// SPDX-License-Identifier: GPL-3.0-or-later
// A small UI Automation client that reads the tool's window as a Windows
// screen reader does, from another process: it starts Kiverlo.exe (a fake
// programmer stands beside it as avrdude.exe), takes the window's element
// through IUIAutomation::ElementFromHandle and walks the tree below it;
// checks each control's type, name and whether it takes the keyboard's
// focus; presses Tab and follows the focus, through each control's focus
// property and through UI Automation's focus events; ticks "Show Console";
// starts an upload, answers the file dialog, and reads the label's name
// until it is the verdict.
//
// uiaclient <Kiverlo.exe> <file to choose> <expected verdict>
//
// Where the UI Automation at hand does not offer a pattern (Invoke, Toggle)
// the control is clicked where its element says it is, and where it cannot
// register for changes of a name the name is read again until it changes;
// the HRESULT that said no is printed. Every failed call is printed with its
// HRESULT; a call that does not return within 20 seconds is reported as
// hanging. Exit code 0: every check passed; 1: a check failed; 2: a call
// failed; 3: a call hung.
//
// Plain Windows API and COM, linked statically; it needs headers that
// declare IUIAutomation (MinGW-w64 12 has them, 10 does not).
#include "toplevelwindow.h"

#include <windows.h>

#include <ole2.h>
#include <uiautomation.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// --- reporting, and the watch for a call that hangs ---------------------------

const wchar_t *volatile currentCall = L"start";
volatile LONG callStarted = 0;

void calling(const wchar_t *what)
{
    currentCall = what;
    InterlockedExchange(&callStarted, LONG(GetTickCount()));
}
// A wait of the client's own that goes on as it should: not a hanging call.
void stillWaiting()
{
    InterlockedExchange(&callStarted, LONG(GetTickCount()));
}

int failures = 0;
bool check(bool ok, const std::wstring &what)
{
    std::wprintf(L"%ls %ls\n", ok ? L"ok  " : L"FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
    return ok;
}

void print(HRESULT hr, const wchar_t *call)
{
    std::wprintf(L"%ls: HRESULT 0x%08lx\n", call, static_cast<unsigned long>(hr));
    std::fflush(stdout);
}

// A failed call the check cannot go on without: printed, and thrown as its
// HRESULT, which ends the run with code 2.
void require(HRESULT hr, const wchar_t *call)
{
    if (FAILED(hr)) {
        std::wprintf(L"FAIL ");
        print(hr, call);
        throw hr;
    }
}

// Polls `done` every 50 ms for up to `ms`; whether it came true.
template <typename Done> bool waitUntil(Done done, int ms)
{
    for (int waited = 0; waited < ms; waited += 50) {
        if (done())
            return true;
        Sleep(50);
        stillWaiting();
    }
    return done();
}

// --- what the events tell -------------------------------------------------------

CRITICAL_SECTION toldLock;
std::vector<std::wstring> namesTold;
std::vector<std::wstring> focusTold;

bool told(const std::vector<std::wstring> &list, const std::wstring &name)
{
    EnterCriticalSection(&toldLock);
    bool found = false;
    for (const std::wstring &entry : list)
        found = found || entry == name;
    LeaveCriticalSection(&toldLock);
    return found;
}

void tell(std::vector<std::wstring> &list, const std::wstring &name)
{
    EnterCriticalSection(&toldLock);
    list.push_back(name);
    LeaveCriticalSection(&toldLock);
}

// The parts of IUnknown both listeners share; they live as long as the run.
template <typename Interface> class Listener : public Interface
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID asked, void **out) override
    {
        if (asked == IID_IUnknown || asked == own()) {
            *out = static_cast<Interface *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        return 1;
    }

protected:
    virtual const IID &own() const = 0;
};

std::wstring nameOf(IUIAutomationElement *element)
{
    BSTR name = nullptr;
    std::wstring text;
    if (element && SUCCEEDED(element->get_CurrentName(&name)) && name)
        text.assign(name, SysStringLen(name));
    SysFreeString(name);
    return text;
}

class NameListener : public Listener<IUIAutomationPropertyChangedEventHandler>
{
public:
    HRESULT STDMETHODCALLTYPE HandlePropertyChangedEvent(
        IUIAutomationElement *, PROPERTYID property, VARIANT value) override
    {
        if (property == UIA_NamePropertyId && value.vt == VT_BSTR && value.bstrVal)
            tell(namesTold, std::wstring(value.bstrVal, SysStringLen(value.bstrVal)));
        return S_OK;
    }

protected:
    const IID &own() const override
    {
        return IID_IUIAutomationPropertyChangedEventHandler;
    }
};

class FocusListener : public Listener<IUIAutomationFocusChangedEventHandler>
{
public:
    HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement *sender) override
    {
        tell(focusTold, nameOf(sender));
        return S_OK;
    }

protected:
    const IID &own() const override
    {
        return IID_IUIAutomationFocusChangedEventHandler;
    }
};

// --- the window and its tree --------------------------------------------------

HWND waitForWindow(DWORD processId, const wchar_t *title, int ms)
{
    HWND found = nullptr;
    waitUntil(
        [&found, processId, title] {
            found = findTopLevelWindow(processId, title);
            return found != nullptr;
        },
        ms);
    return found;
}

// One property of an element. (GetCurrentPropertyValueEx: Wine 10 has no
// GetCurrentPropertyValue, nor the get_Current... of most properties.)
VARIANT property(IUIAutomationElement *element, PROPERTYID id, const wchar_t *what)
{
    VARIANT value;
    VariantInit(&value);
    calling(what);
    require(element->GetCurrentPropertyValueEx(id, TRUE, &value), what);
    return value;
}

std::wstring name(IUIAutomationElement *element)
{
    VARIANT value = property(element, UIA_NamePropertyId, L"GetCurrentPropertyValueEx(UIA_NamePropertyId)");
    std::wstring result;
    if (value.vt == VT_BSTR && value.bstrVal)
        result.assign(value.bstrVal, SysStringLen(value.bstrVal));
    VariantClear(&value);
    return result;
}

bool flag(IUIAutomationElement *element, PROPERTYID id, const wchar_t *what)
{
    VARIANT value = property(element, id, what);
    const bool result = value.vt == VT_BOOL && value.boolVal != VARIANT_FALSE;
    VariantClear(&value);
    return result;
}

bool hasFocus(IUIAutomationElement *element)
{
    return flag(element, UIA_HasKeyboardFocusPropertyId, L"GetCurrentPropertyValueEx(UIA_HasKeyboardFocusPropertyId)");
}

struct Element
{
    IUIAutomationElement *element;
    CONTROLTYPEID type;
    std::wstring name;
    bool focusable;
};

void walk(IUIAutomationTreeWalker *walker, IUIAutomationElement *parent, int depth, std::vector<Element> &found)
{
    IUIAutomationElement *child = nullptr;
    calling(L"IUIAutomationTreeWalker::GetFirstChildElement");
    require(walker->GetFirstChildElement(parent, &child), L"IUIAutomationTreeWalker::GetFirstChildElement");
    while (child) {
        Element node = {child, 0, name(child), false};
        VARIANT type
            = property(child, UIA_ControlTypePropertyId, L"GetCurrentPropertyValueEx(UIA_ControlTypePropertyId)");
        node.type = type.vt == VT_I4 ? CONTROLTYPEID(type.lVal) : 0;
        node.focusable = flag(
            child, UIA_IsKeyboardFocusablePropertyId, L"GetCurrentPropertyValueEx(UIA_IsKeyboardFocusablePropertyId)");
        std::wprintf(L"%*ls[%d] \"%ls\"%ls\n", 2 * depth, L"", int(node.type), node.name.c_str(),
            node.focusable ? L" (takes the focus)" : L"");
        found.push_back(node);
        walk(walker, child, depth + 1, found);
        IUIAutomationElement *next = nullptr;
        calling(L"IUIAutomationTreeWalker::GetNextSiblingElement");
        require(walker->GetNextSiblingElement(child, &next), L"IUIAutomationTreeWalker::GetNextSiblingElement");
        child = next;
    }
}

// The whole tree below `root`. (A tree walker made from the true condition:
// Wine 10 has no ready-made raw or control view walker.)
std::vector<Element> tree(IUIAutomation *automation, IUIAutomationElement *root)
{
    IUIAutomationCondition *all = nullptr;
    calling(L"IUIAutomation::CreateTrueCondition");
    require(automation->CreateTrueCondition(&all), L"IUIAutomation::CreateTrueCondition");
    IUIAutomationTreeWalker *walker = nullptr;
    calling(L"IUIAutomation::CreateTreeWalker");
    require(automation->CreateTreeWalker(all, &walker), L"IUIAutomation::CreateTreeWalker");
    std::wprintf(L"the tree below \"%ls\":\n", name(root).c_str());
    std::vector<Element> found;
    walk(walker, root, 1, found);
    walker->Release();
    all->Release();
    return found;
}

// The one element of this type (and name, if given); none or several is a
// fault.
IUIAutomationElement *theOne(const std::vector<Element> &tree, CONTROLTYPEID type, const std::wstring &name,
    const std::wstring &what, bool focusable)
{
    const Element *match = nullptr;
    int count = 0;
    for (const Element &node : tree) {
        if (node.type == type && (name.empty() || node.name == name)) {
            match = &node;
            ++count;
        }
    }
    if (!check(count == 1, what))
        return nullptr;
    check(match->focusable == focusable,
        L"  " + what + (focusable ? L" takes the keyboard's focus" : L" does not take the focus"));
    return match->element;
}

// Works a control: through its pattern where UI Automation offers it, else
// with a click where its element says it is.
void activate(IUIAutomationElement *element, HWND window, PATTERNID pattern, const wchar_t *patternName)
{
    IUnknown *provider = nullptr;
    calling(L"IUIAutomationElement::GetCurrentPattern");
    const HRESULT hr = element->GetCurrentPattern(pattern, &provider);
    if (SUCCEEDED(hr) && provider) {
        if (pattern == UIA_InvokePatternId) {
            IUIAutomationInvokePattern *invoke = nullptr;
            require(provider->QueryInterface(IID_IUIAutomationInvokePattern, reinterpret_cast<void **>(&invoke)),
                L"QueryInterface(IUIAutomationInvokePattern)");
            calling(L"IUIAutomationInvokePattern::Invoke");
            require(invoke->Invoke(), L"IUIAutomationInvokePattern::Invoke");
        } else {
            IUIAutomationTogglePattern *toggle = nullptr;
            require(provider->QueryInterface(IID_IUIAutomationTogglePattern, reinterpret_cast<void **>(&toggle)),
                L"QueryInterface(IUIAutomationTogglePattern)");
            calling(L"IUIAutomationTogglePattern::Toggle");
            require(toggle->Toggle(), L"IUIAutomationTogglePattern::Toggle");
        }
        std::wprintf(L"worked \"%ls\" through its %ls pattern\n", name(element).c_str(), patternName);
        return;
    }
    RECT box = {};
    calling(L"IUIAutomationElement::get_CurrentBoundingRectangle");
    require(element->get_CurrentBoundingRectangle(&box), L"IUIAutomationElement::get_CurrentBoundingRectangle");
    POINT at = {(box.left + box.right) / 2, (box.top + box.bottom) / 2};
    std::wprintf(L"no %ls pattern (GetCurrentPattern: HRESULT 0x%08lx): a click on \"%ls\" at %ld,%ld\n", patternName,
        static_cast<unsigned long>(hr), name(element).c_str(), at.x, at.y);
    ScreenToClient(window, &at);
    const LPARAM where = MAKELPARAM(at.x, at.y);
    PostMessageW(window, WM_MOUSEMOVE, 0, where);
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, where);
    PostMessageW(window, WM_LBUTTONUP, 0, where);
}

// Presses Tab in the window; whether the focus then goes to `next`, as its
// focus property and UI Automation's focus event tell.
void tabTo(HWND window, IUIAutomationElement *next)
{
    const std::wstring expected = name(next);
    EnterCriticalSection(&toldLock);
    focusTold.clear();
    LeaveCriticalSection(&toldLock);
    PostMessageW(window, WM_KEYDOWN, VK_TAB, 0x000f0001);
    PostMessageW(window, WM_KEYUP, VK_TAB, 0xc00f0001);
    check(waitUntil([next] { return hasFocus(next); }, 10000), L"Tab moves the focus to \"" + expected + L"\"");
    check(waitUntil([&expected] { return told(focusTold, expected); }, 10000),
        L"  and UI Automation tells of the focus on \"" + expected + L"\"");
}

struct Arguments
{
    std::wstring program;
    std::wstring file;
    std::wstring verdict;
};

HANDLE toolProcess = nullptr;

int run(const Arguments &args)
{
    calling(L"CoInitializeEx");
    require(CoInitializeEx(nullptr, COINIT_MULTITHREADED), L"CoInitializeEx(COINIT_MULTITHREADED)");

    const std::wstring folder = args.program.substr(0, args.program.find_last_of(L"\\/"));
    std::wstring commandLine = L"\"" + args.program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(args.program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
            &startup, &process)) {
        std::wprintf(L"FAIL cannot start %ls (error %lu)\n", args.program.c_str(), GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);
    toolProcess = process.hProcess;
    calling(L"waiting for the window");
    const HWND window = waitForWindow(process.dwProcessId, L"Kiverlo", 60000);
    if (!check(window != nullptr, L"the window \"Kiverlo\" is up"))
        return 1;

    IUIAutomation *automation = nullptr;
    calling(L"CoCreateInstance(CLSID_CUIAutomation)");
    require(CoCreateInstance(CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, IID_IUIAutomation,
                reinterpret_cast<void **>(&automation)),
        L"CoCreateInstance(CLSID_CUIAutomation, IID_IUIAutomation)");
    IUIAutomationElement *root = nullptr;
    calling(L"IUIAutomation::ElementFromHandle");
    require(automation->ElementFromHandle(window, &root), L"IUIAutomation::ElementFromHandle");
    if (!check(root != nullptr, L"the window has an element"))
        return 1;
    check(name(root) == L"Kiverlo", L"the window's element is named \"Kiverlo\"");

    // The controls, by type and name, as a screen reader lists them. The
    // console is hidden: it is not in the tree yet.
    std::vector<Element> controls = tree(automation, root);
    IUIAutomationElement *ports
        = theOne(controls, UIA_ComboBoxControlTypeId, L"Serial port", L"a combo box \"Serial port\"", true);
    IUIAutomationElement *upload
        = theOne(controls, UIA_ButtonControlTypeId, L"Upload...", L"a button \"Upload...\"", true);
    IUIAutomationElement *showConsole
        = theOne(controls, UIA_CheckBoxControlTypeId, L"Show Console", L"a check box \"Show Console\"", true);
    IUIAutomationElement *label = theOne(controls, UIA_TextControlTypeId, std::wstring(), L"one text", false);
    check(label && name(label).rfind(L"1) Select Comm Port", 0) == 0, L"  the text reads the instructions");
    for (const Element &node : controls) {
        if (node.focusable && node.name.empty())
            check(false, L"an element of type " + std::to_wstring(node.type) + L" takes the focus and has no name");
    }
    if (!ports || !upload || !showConsole || !label)
        return 1;

    // The focus, as a screen reader follows it while the user presses Tab.
    static FocusListener focusListener;
    calling(L"IUIAutomation::AddFocusChangedEventHandler");
    require(automation->AddFocusChangedEventHandler(nullptr, &focusListener),
        L"IUIAutomation::AddFocusChangedEventHandler");
    check(waitUntil([ports] { return hasFocus(ports); }, 10000), L"the focus starts on \"Serial port\"");
    for (IUIAutomationElement *next : {upload, showConsole, ports})
        tabTo(window, next);

    // Ticked, the box shows the console, which comes into the tree and last
    // in the Tab order.
    activate(showConsole, window, UIA_TogglePatternId, L"Toggle");
    IUIAutomationElement *console = nullptr;
    waitUntil(
        [&] {
            for (const Element &node : tree(automation, root)) {
                if (node.type == UIA_EditControlTypeId && node.name == L"Console" && node.focusable)
                    console = node.element;
            }
            return console != nullptr;
        },
        10000);
    if (!check(console != nullptr, L"ticking \"Show Console\" shows an edit \"Console\" that takes the focus"))
        return 1;
    if (!hasFocus(showConsole))
        tabTo(window, showConsole);
    tabTo(window, console);
    tabTo(window, ports);
    tabTo(window, upload);

    // Changes of the label's name, where UI Automation can tell of them.
    static NameListener nameListener;
    PROPERTYID nameProperty = UIA_NamePropertyId;
    calling(L"IUIAutomation::AddPropertyChangedEventHandlerNativeArray");
    const HRESULT listening = automation->AddPropertyChangedEventHandlerNativeArray(
        label, TreeScope_Element, nullptr, &nameListener, &nameProperty, 1);
    if (FAILED(listening)) {
        std::wprintf(L"no events of a changed name, the label's name is read again and again instead: ");
        print(listening, L"IUIAutomation::AddPropertyChangedEventHandlerNativeArray");
    }

    // The upload, and the file dialog (Windows' own) answered.
    activate(upload, window, UIA_InvokePatternId, L"Invoke");
    calling(L"waiting for the file dialog");
    const HWND dialog = waitForWindow(process.dwProcessId, L"Select .hex file", 30000);
    if (!check(dialog != nullptr, L"the file dialog opens"))
        return 1;
    HWND edit = nullptr;
    waitUntil(
        [&] {
            edit = findFileNameField(dialog);
            return edit != nullptr;
        },
        10000);
    if (!check(edit != nullptr, L"the file dialog has a field for the file's name"))
        return 1;
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args.file.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);

    std::wstring now;
    waitUntil(
        [&] {
            now = name(label);
            return now == args.verdict;
        },
        60000);
    check(now == args.verdict, L"the label's name becomes \"" + args.verdict + L"\" (it is \"" + now + L"\")");
    if (SUCCEEDED(listening))
        check(waitUntil([&args] { return told(namesTold, args.verdict); }, 10000),
            L"  and UI Automation tells of the label's new name");
    // Nothing took the label's text for its name.
    theOne(
        tree(automation, root), UIA_ComboBoxControlTypeId, L"Serial port", L"after the run, one \"Serial port\"", true);

    calling(L"IUIAutomation::RemoveAllEventHandlers");
    print(automation->RemoveAllEventHandlers(), L"IUIAutomation::RemoveAllEventHandlers");
    calling(L"closing the window");
    PostMessageW(window, WM_CLOSE, 0, 0);
    check(WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0, L"the tool ends when its window closes");
    return failures ? 1 : 0;
}

Arguments arguments;
int result = 2;

DWORD WINAPI worker(void *)
{
    try {
        result = run(arguments);
    } catch (HRESULT) {
        result = 2;
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: uiaclient <Kiverlo.exe> <file to choose> <expected verdict>\n");
        return 2;
    }
    arguments = {argv[1], argv[2], argv[3]};
    InitializeCriticalSection(&toldLock);
    calling(L"start");
    // The client runs on a thread of its own, so that a call that never
    // returns is reported rather than waited for.
    const HANDLE thread = CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
    while (WaitForSingleObject(thread, 200) == WAIT_TIMEOUT) {
        if (GetTickCount() - DWORD(callStarted) > 20000) {
            std::wprintf(L"HANG %ls: no return within 20 s\n", currentCall);
            result = 3;
            break;
        }
    }
    if (toolProcess && WaitForSingleObject(toolProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(toolProcess, 1);
        WaitForSingleObject(toolProcess, 10000);
    }
    std::fflush(stdout);
    // A hung call keeps its thread: end without waiting for it.
    ExitProcess(UINT(result));
}
