using System;
using System.Collections.Concurrent;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Threading;

namespace Korvat.Nfc.Interop
{
    /// <summary>
    /// A message-only window on a thread of its own, which receives the library's find and
    /// enable messages and hands them to a handler on that thread. The window procedure is one
    /// delegate held by a static field for the life of the process: the library may post until
    /// poll mode stops, and a message already queued is still dispatched, so the delegate must
    /// never be collected while any window of this class exists.
    /// </summary>
    internal sealed class MessageWindow : IDisposable
    {
        public delegate void Handler(uint message, IntPtr wParam, IntPtr lParam);

        private const string ClassName = "Korvat.Nfc.MessageWindow";
        private const uint WM_DESTROY = 0x0002, WM_CLOSE = 0x0010;
        private static readonly IntPtr HWND_MESSAGE = new IntPtr(-3);

        private static readonly WndProc Procedure = WindowProcedure;  // never collected
        private static readonly ConcurrentDictionary<IntPtr, MessageWindow> Windows = new ConcurrentDictionary<IntPtr, MessageWindow>();
        private static readonly object RegistrationGate = new object();
        private static bool _registered;

        private readonly Handler _handler;
        private readonly Thread _thread;
        private readonly ManualResetEventSlim _created = new ManualResetEventSlim();
        private Exception _createError;
        private int _closed;

        public MessageWindow(Handler handler, string threadName)
        {
            _handler = handler;
            _thread = new Thread(Run) { IsBackground = true, Name = threadName };
            _thread.Start();
            _created.Wait();
            if (_createError != null) throw _createError;
        }

        public IntPtr Handle { get; private set; }

        public int ThreadId { get; private set; }

        public bool IsWindowThread => Thread.CurrentThread == _thread;

        /// <summary>Destroys the window and ends its thread; waits at most the bound for that
        /// (not at all on the window's own thread). Returns whether the thread ended.</summary>
        public bool Close(TimeSpan bound)
        {
            if (Interlocked.Exchange(ref _closed, 1) == 0 && Handle != IntPtr.Zero)
                PostMessageW(Handle, WM_CLOSE, IntPtr.Zero, IntPtr.Zero);
            return IsWindowThread || _thread.Join(bound);
        }

        public void Dispose() => Close(TimeSpan.FromSeconds(5));

        private void Run()
        {
            try
            {
                IntPtr instance = GetModuleHandleW(null);
                Register(instance);
                IntPtr hwnd = CreateWindowExW(0, ClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, IntPtr.Zero, instance, IntPtr.Zero);
                if (hwnd == IntPtr.Zero) throw new Win32Exception(Marshal.GetLastWin32Error(), "CreateWindowEx of the message window failed");
                Windows[hwnd] = this;
                Handle = hwnd;
                ThreadId = Thread.CurrentThread.ManagedThreadId;
            }
            catch (Exception e)
            {
                _createError = e;
                _created.Set();
                return;
            }
            _created.Set();
            while (GetMessageW(out MSG msg, IntPtr.Zero, 0, 0) > 0)
            {
                DispatchMessageW(ref msg);
            }
            Windows.TryRemove(Handle, out _);
        }

        private static void Register(IntPtr instance)
        {
            lock (RegistrationGate)
            {
                if (_registered) return;
                var windowClass = new WNDCLASSEXW
                {
                    cbSize = (uint)Marshal.SizeOf<WNDCLASSEXW>(),
                    lpfnWndProc = Marshal.GetFunctionPointerForDelegate(Procedure),
                    hInstance = instance,
                    lpszClassName = ClassName,
                };
                if (RegisterClassExW(ref windowClass) == 0)
                    throw new Win32Exception(Marshal.GetLastWin32Error(), "RegisterClassEx of the message window failed");
                _registered = true;
            }
        }

        private static IntPtr WindowProcedure(IntPtr hwnd, uint message, IntPtr wParam, IntPtr lParam)
        {
            switch (message)
            {
                case WM_CLOSE:
                    DestroyWindow(hwnd);
                    return IntPtr.Zero;
                case WM_DESTROY:
                    PostQuitMessage(0);
                    return IntPtr.Zero;
            }
            if (message >= 0xC000 && Windows.TryGetValue(hwnd, out MessageWindow window))
            {
                // Registered messages only (0xC000..0xFFFF); an exception must not cross into native code.
                try
                {
                    window._handler(message, wParam, lParam);
                }
                catch (Exception e)
                {
                    System.Diagnostics.Trace.TraceError("Korvat.Nfc: a window message could not be handled: {0}", e);
                }
                return IntPtr.Zero;
            }
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }

        public static uint RegisterMessage(string name)
        {
            uint message = RegisterWindowMessageW(name);
            if (message == 0) throw new Win32Exception(Marshal.GetLastWin32Error(), $"RegisterWindowMessage({name}) failed");
            return message;
        }

        private delegate IntPtr WndProc(IntPtr hwnd, uint message, IntPtr wParam, IntPtr lParam);

        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
        private struct WNDCLASSEXW
        {
            public uint cbSize;
            public uint style;
            public IntPtr lpfnWndProc;
            public int cbClsExtra;
            public int cbWndExtra;
            public IntPtr hInstance;
            public IntPtr hIcon;
            public IntPtr hCursor;
            public IntPtr hbrBackground;
            public string lpszMenuName;
            public string lpszClassName;
            public IntPtr hIconSm;
        }

        [StructLayout(LayoutKind.Sequential)]
        private struct MSG
        {
            public IntPtr hwnd;
            public uint message;
            public IntPtr wParam;
            public IntPtr lParam;
            public uint time;
            public int x;
            public int y;
        }

        [DllImport("user32.dll", SetLastError = true, ExactSpelling = true)]
        private static extern ushort RegisterClassExW(ref WNDCLASSEXW windowClass);

        [DllImport("user32.dll", CharSet = CharSet.Unicode, SetLastError = true, ExactSpelling = true)]
        private static extern IntPtr CreateWindowExW(uint exStyle, string className, string windowName, uint style, int x, int y,
                                                     int width, int height, IntPtr parent, IntPtr menu, IntPtr instance, IntPtr param);

        [DllImport("user32.dll", ExactSpelling = true)]
        private static extern IntPtr DefWindowProcW(IntPtr hwnd, uint message, IntPtr wParam, IntPtr lParam);

        [DllImport("user32.dll", ExactSpelling = true)]
        private static extern int GetMessageW(out MSG msg, IntPtr hwnd, uint filterMin, uint filterMax);

        [DllImport("user32.dll", ExactSpelling = true)]
        private static extern IntPtr DispatchMessageW(ref MSG msg);

        [DllImport("user32.dll", SetLastError = true, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool PostMessageW(IntPtr hwnd, uint message, IntPtr wParam, IntPtr lParam);

        [DllImport("user32.dll", ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool DestroyWindow(IntPtr hwnd);

        [DllImport("user32.dll", ExactSpelling = true)]
        private static extern void PostQuitMessage(int exitCode);

        [DllImport("user32.dll", CharSet = CharSet.Unicode, SetLastError = true, ExactSpelling = true)]
        private static extern uint RegisterWindowMessageW(string name);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true)]
        private static extern IntPtr GetModuleHandleW(string moduleName);
    }
}
