using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Korvat.Nfc.Interop;
using Korvat.Nfc.Ndef;

namespace Korvat.Nfc
{
    /// <summary>
    /// The library's road as one object: made, it has initialised the library and given it a
    /// message window of its own; then <see cref="Open"/> a port, <see cref="StartPolling"/>,
    /// receive <see cref="TargetFound"/> (or await <see cref="WaitForTargetAsync"/>), access the
    /// target, exchange packets with <see cref="Thru"/> or read its NDEF message. Dispose stops
    /// polling, closes the port and uninitialises the library, in that order, from any thread.
    /// The library is one per process: one reader at a time.
    /// </summary>
    public sealed class NfcReader : IDisposable
    {
        /// <summary>The names the find and enable messages are registered under.</summary>
        public const string FindMessageName = "Korvat.Nfc.Find";
        public const string EnableMessageName = "Korvat.Nfc.Enable";
        /// <summary>The names the plug-and-play find and loss messages are registered under.</summary>
        public const string ReaderFoundMessageName = "Korvat.Nfc.ReaderFound";
        public const string ReaderLostMessageName = "Korvat.Nfc.ReaderLost";

        private const int MaximumResponse = ushort.MaxValue;
        private static readonly TimeSpan ThreadBound = TimeSpan.FromSeconds(5);
        private const int UnclaimedTargetsKept = 16;

        private readonly object _gate = new object();
        private readonly MessageWindow _window;
        private readonly EventDispatcher _events;
        private readonly LibraryMessages _messages;
        // Targets found while no wait was pending are kept: the first cycle of poll mode runs at
        // once, so a wait made right after StartPolling must still get what that cycle found.
        private readonly TargetWaits _waits = new TargetWaits(UnclaimedTargetsKept);
        private bool _initialized, _open, _polling, _accessing, _watching;
        // The watching session whose reader messages are delivered: set before plug-and-play starts
        // (its first messages come at once), 0 from StopWatchingReaders and Dispose on. A reader
        // event decoded or queued under an earlier session is dropped when it is delivered.
        private int _readerSession, _readerSessions;
        private int _disposed;
        // Thru's response buffer, made at the first call and used under NativeCall's lock only.
        private byte[] _response;

        /// <summary>Initialises the library. Events are raised on the current SynchronizationContext
        /// when there is one (a form's thread), else on a worker thread of this reader's; none runs
        /// once <see cref="Dispose"/> has begun, even one posted or queued before.</summary>
        public NfcReader()
        {
            NativeLibraryResolver.EnsureLoaded();
            _messages = new LibraryMessages(MessageWindow.RegisterMessage(FindMessageName), MessageWindow.RegisterMessage(EnableMessageName),
                                            MessageWindow.RegisterMessage(ReaderFoundMessageName),
                                            MessageWindow.RegisterMessage(ReaderLostMessageName));
            _events = new EventDispatcher(SynchronizationContext.Current, "Korvat.Nfc events", OnHandlerFailed);
            try
            {
                _window = new MessageWindow(OnMessage, "Korvat.Nfc messages");
                NativeCall.Nfc("korvatlib_nfc_initialize", NfcNative.korvatlib_nfc_initialize);
                _initialized = true;
                NativeCall.Nfc("korvatlib_nfc_set_poll_callback_parameters",
                               () => NfcNative.korvatlib_nfc_set_poll_callback_parameters(_window.Handle, FindMessageName, EnableMessageName));
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        /// <summary>A target was found while polling.</summary>
        public event EventHandler<TargetFoundEventArgs> TargetFound;

        /// <summary>
        /// A target left the field, reported once. The library reports departures with the
        /// registry value event_notification = 1 only (see the README); without it this event is
        /// never raised. A target that left is no longer given by <see cref="WaitForTargetAsync"/>,
        /// and an <see cref="AccessAsync"/> still waiting for it fails with
        /// <see cref="InvalidOperationException"/>.
        /// </summary>
        public event EventHandler<TargetLostEventArgs> TargetLost;

        /// <summary>A reader can be opened now: after <see cref="StartWatchingReaders"/>, once for
        /// each reader present then, and for each one plugged in later.</summary>
        public event EventHandler<ReaderEventArgs> ReaderAdded;

        /// <summary>A reader that <see cref="ReaderAdded"/> announced is gone.</summary>
        public event EventHandler<ReaderEventArgs> ReaderRemoved;

        /// <summary>A target waits for access, or its access is enabled.</summary>
        public event EventHandler<TargetAccessEventArgs> AccessChanged;

        /// <summary>The reader reported an error while polling (once while the same error repeats).</summary>
        public event EventHandler<ReaderErrorEventArgs> ReaderError;

        /// <summary>
        /// A handler of one of the reader's other events (<see cref="TargetFound"/>,
        /// <see cref="TargetLost"/>, <see cref="AccessChanged"/>, <see cref="ReaderError"/>,
        /// <see cref="ReaderAdded"/>, <see cref="ReaderRemoved"/>) threw: the reader caught the exception and raises this event
        /// with it, at once, on the thread that ran that handler (the event's other handlers and
        /// later events are raised as before). With no handler of this event, or when its handler
        /// throws too, the exception is written to <see cref="System.Diagnostics.Trace"/>. The
        /// exception never reaches the SynchronizationContext or the reader's thread, so a
        /// handler's fault does not end the process.
        /// </summary>
        public event EventHandler<HandlerFailedEventArgs> HandlerFailed;

        /// <summary>The open port's name; null while none is open.</summary>
        public string PortName { get; private set; }

        public bool IsPolling { get { lock (_gate) return _polling; } }

        /// <summary>The message window that receives the library's messages (for diagnostics).</summary>
        public IntPtr WindowHandle => _window.Handle;

        /// <summary>
        /// Opens a port by name, or (null or empty) the first port of port_name_list that opens.
        /// Returns the name of the port opened.
        /// </summary>
        public string Open(string portName = null)
        {
            ThrowIfDisposed();
            byte[] name = new byte[NfcNative.PortNameBufferSize];
            if (!string.IsNullOrEmpty(portName))
            {
                byte[] text = Encoding.ASCII.GetBytes(portName);
                if (text.Length >= name.Length) Array.Resize(ref name, text.Length + 1);
                text.CopyTo(name, 0);
            }
            lock (_gate)
            {
                NativeCall.Nfc("korvatlib_nfc_open", () => NfcNative.korvatlib_nfc_open(name));
                _open = true;
                int end = Array.IndexOf(name, (byte)0);
                PortName = Encoding.ASCII.GetString(name, 0, end < 0 ? name.Length : end);
                return PortName;
            }
        }

        public void Close()
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                NativeCall.Nfc("korvatlib_nfc_close", NfcNative.korvatlib_nfc_close);
                _open = _polling = _accessing = false;
                PortName = null;
            }
        }

        /// <summary>Starts poll mode for the kinds of target given; the reader's messages begin.</summary>
        public void StartPolling(TargetKinds kinds = TargetKinds.All)
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                _waits.ForgetFound();
                NativeCall.Nfc("korvatlib_nfc_start_poll_mode", () => NfcNative.korvatlib_nfc_start_poll_mode((uint)kinds));
                _polling = true;
            }
        }

        /// <summary>Stops poll mode; when it returns, no further message is posted.</summary>
        public void StopPolling()
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                NativeCall.Nfc("korvatlib_nfc_stop_poll_mode", NfcNative.korvatlib_nfc_stop_poll_mode);
                _polling = false;
            }
        }

        /// <summary>
        /// The readers that can be opened now, from every plug-in that can list its ports (one that
        /// cannot adds none). Needs no open port and no registry value.
        /// </summary>
        public IReadOnlyList<ReaderInfo> GetReaders()
        {
            ThrowIfDisposed();
            uint capacity = 8;
            for (int attempt = 0; ; attempt++)
            {
                var records = new byte[capacity * NfcNative.ReaderRecordSize];
                uint count = 0;
                try
                {
                    NativeCall.Nfc("korvatlib_nfc_list_readers", () => NfcNative.korvatlib_nfc_list_readers(records, capacity, out count));
                    return ReaderInfo.DecodeList(records, (int)count);
                }
                catch (NfcException e) when (e.ErrorCode == NfcErrorCode.BufferTooSmall && count > capacity && attempt < 3)
                {
                    capacity = count + 4;  // readers plugged in meanwhile: a few more, a few times
                }
            }
        }

        /// <summary>
        /// Starts plug-and-play: <see cref="ReaderAdded"/> for every reader that can be opened now,
        /// then <see cref="ReaderAdded"/> and <see cref="ReaderRemoved"/> as readers come and go,
        /// with or without an open port. Needs the registry value plug_and_play = 1 (see the
        /// README): without it the library refuses with <see cref="NfcErrorCode.NotImplemented"/>.
        /// A second call while watching does nothing.
        /// </summary>
        public void StartWatchingReaders()
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                if (_watching) return;
                Volatile.Write(ref _readerSession, ++_readerSessions);
                try
                {
                    NativeCall.Nfc("korvatlib_nfc_set_pnp_callback_parameters",
                                   () => NfcNative.korvatlib_nfc_set_pnp_callback_parameters(_window.Handle, ReaderFoundMessageName, ReaderLostMessageName));
                    NativeCall.Nfc("korvatlib_nfc_start_plug_and_play", NfcNative.korvatlib_nfc_start_plug_and_play);
                }
                catch
                {
                    Volatile.Write(ref _readerSession, 0);
                    throw;
                }
                _watching = true;
            }
        }

        /// <summary>Stops plug-and-play; when it returns, no further reader message is posted, and
        /// no <see cref="ReaderAdded"/> or <see cref="ReaderRemoved"/> is raised for one posted
        /// before (one whose handlers already run completes). Does nothing while not watching.</summary>
        public void StopWatchingReaders()
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                if (!_watching) return;
                NativeCall.Nfc("korvatlib_nfc_stop_plug_and_play", NfcNative.korvatlib_nfc_stop_plug_and_play);
                _watching = false;
                Volatile.Write(ref _readerSession, 0);
            }
        }

        public bool IsWatchingReaders { get { lock (_gate) return _watching; } }

        /// <summary>Asks for access to a target; <see cref="AccessChanged"/> with
        /// <see cref="TargetAccess.Enabled"/> says when it is there (or await <see cref="AccessAsync"/>).</summary>
        public void StartDeviceAccess(uint targetNumber)
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                NativeCall.Nfc("korvatlib_nfc_start_dev_access", () => NfcNative.korvatlib_nfc_start_dev_access(targetNumber));
                _accessing = true;
            }
        }

        /// <summary>Ends access to the target: for good (it is not reported again while it stays),
        /// or, with <paramref name="findAgain"/>, so that it can be found again.</summary>
        public void StopDeviceAccess(bool findAgain = false)
        {
            ThrowIfDisposed();
            lock (_gate)
            {
                NativeCall.Nfc("korvatlib_nfc_stop_dev_access", () => NfcNative.korvatlib_nfc_stop_dev_access(findAgain ? 1u : 0u));
                _accessing = false;
            }
        }

        public void SelectDevice()
        {
            ThrowIfDisposed();
            NativeCall.Nfc("korvatlib_nfc_select_device", NfcNative.korvatlib_nfc_select_device);
        }

        public void DeselectDevice()
        {
            ThrowIfDisposed();
            NativeCall.Nfc("korvatlib_nfc_deselect_device", NfcNative.korvatlib_nfc_deselect_device);
        }

        /// <summary>Sends a command packet to the target with access and returns its response.</summary>
        public byte[] Thru(byte[] command)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            if (command.Length == 0 || command.Length > ushort.MaxValue)
                throw new ArgumentException("a command packet has 1 to 65535 bytes", nameof(command));
            ThrowIfDisposed();
            byte[] answer = null;
            NativeCall.Nfc("korvatlib_nfc_thru", () =>
            {
                // No capacity reaches the plug-in: the buffer holds the largest response the length
                // word can give. It is the reader's, reused by every call under the lock of the call.
                byte[] response = _response ?? (_response = new byte[MaximumResponse]);
                if (!NfcNative.korvatlib_nfc_thru(command, (ushort)command.Length, response, out ushort length)) return false;
                answer = new byte[length];
                Buffer.BlockCopy(response, 0, answer, 0, length);
                return true;
            });
            return answer;
        }

        /// <summary>The reader's time-out in milliseconds (6000 after open).</summary>
        public int Timeout
        {
            get
            {
                ThrowIfDisposed();
                int timeout = 0;
                NativeCall.Nfc("korvatlib_nfc_get_timeout", () => NfcNative.korvatlib_nfc_get_timeout(out timeout));
                return timeout;
            }
            set
            {
                ThrowIfDisposed();
                NativeCall.Nfc("korvatlib_nfc_set_timeout", () => NfcNative.korvatlib_nfc_set_timeout(value));
            }
        }

        /// <summary>Starts the normal log in this file (an absolute name; created when missing).</summary>
        public void StartLogging(string fileName)
        {
            ThrowIfDisposed();
            NativeCall.Nfc("korvatlib_nfc_start_logging", () => NfcNative.korvatlib_nfc_start_logging(fileName));
        }

        public void StopLogging()
        {
            ThrowIfDisposed();
            NativeCall.Nfc("korvatlib_nfc_stop_logging", NfcNative.korvatlib_nfc_stop_logging);
        }

        /// <summary>
        /// The next target that no earlier wait has taken: the oldest one found since polling
        /// started while no wait was pending (so a wait made right after <see cref="StartPolling"/>
        /// misses nothing), else the next one found. Cancelled by the token; fails with
        /// <see cref="ObjectDisposedException"/> when the reader is disposed first (the task
        /// fails: the call itself does not throw).
        /// </summary>
        public Task<Target> WaitForTargetAsync(CancellationToken cancellationToken = default)
        {
            if (IsDisposed) return Task.FromException<Target>(new ObjectDisposedException(nameof(NfcReader)));
            return _waits.WaitForTarget(cancellationToken);
        }

        /// <summary>Starts access to the target and completes when the library says it is enabled.
        /// Every failure, a null target, a disposed reader and the library's refusal
        /// (<see cref="NfcException"/>) included, fails the task: the call itself does not throw.</summary>
        public Task AccessAsync(Target target, CancellationToken cancellationToken = default)
        {
            if (target == null) return Task.FromException(new ArgumentNullException(nameof(target)));
            if (IsDisposed) return Task.FromException(new ObjectDisposedException(nameof(NfcReader)));
            uint number = target.TargetNumber;
            return _waits.WaitForAccess(number, () => StartDeviceAccess(number), cancellationToken);
        }

        /// <summary>Accesses the target, reads its NDEF message and ends the access (for good).</summary>
        public async Task<NdefMessage> ReadNdefAsync(Target target, CancellationToken cancellationToken = default)
        {
            await AccessAsync(target, cancellationToken).ConfigureAwait(false);
            try
            {
                return NfcTags.ReadNdef(target);
            }
            finally
            {
                if (!IsDisposed) StopDeviceAccess();
            }
        }

        /// <summary>
        /// Stops polling and device access, closes the port and uninitialises the library, in that
        /// order, from any thread (an event handler's included); a second call does nothing. From
        /// its start no event is raised, and those posted to the SynchronizationContext or queued
        /// for the worker thread are dropped. Pending waits fail with
        /// <see cref="ObjectDisposedException"/> first; then it waits (at most 5 s) for a handler
        /// running on another thread, and stops the library after it. When it returns no message
        /// of the library reaches this reader.
        /// </summary>
        public void Dispose()
        {
            if (Interlocked.Exchange(ref _disposed, 1) != 0) return;
            _waits.Close(new ObjectDisposedException(nameof(NfcReader)));
            // A handler that waited for a target has its answer now; the events end here.
            _events.Stop(ThreadBound);
            lock (_gate)
            {
                // Errors here are the library's to trace; a dispose goes on to the end.
                if (_watching) TryCall(NfcNative.korvatlib_nfc_stop_plug_and_play);
                if (_polling) TryCall(NfcNative.korvatlib_nfc_stop_poll_mode);
                if (_accessing) TryCall(() => NfcNative.korvatlib_nfc_stop_dev_access(0));
                if (_open) TryCall(NfcNative.korvatlib_nfc_close);
                if (_initialized) TryCall(NfcNative.korvatlib_nfc_uninitialize);
                _watching = _polling = _accessing = _open = _initialized = false;
                PortName = null;
            }
            _window?.Close(ThreadBound);
        }

        private static void TryCall(Func<bool> call)
        {
            try
            {
                NativeCall.Nfc("dispose", call);
            }
            catch (NfcException)
            {
            }
        }

        // On the message window's thread: the record and the error pair belong to the library and are
        // copied here, before anything else runs.
        private void OnMessage(uint message, IntPtr wParam, IntPtr lParam)
        {
            if (IsDisposed) return;
            var (name, args) = _messages.Decode(message, wParam, lParam);
            switch (args)
            {
                case TargetFoundEventArgs found:
                    _waits.Found(found.Target);
                    _events.Raise(name, () => TargetFound, this, found);
                    break;
                case TargetLostEventArgs lost:
                    _waits.Lost(lost.TargetNumber);
                    _events.Raise(name, () => TargetLost, this, lost);
                    break;
                case ReaderErrorEventArgs error:
                    _events.Raise(name, () => ReaderError, this, error);
                    break;
                case TargetAccessEventArgs access:
                    if (access.Access == TargetAccess.Enabled) _waits.AccessEnabled(access.TargetNumber);
                    _events.Raise(name, () => AccessChanged, this, access);
                    break;
                case ReaderEventArgs reader:
                    int session = Volatile.Read(ref _readerSession);
                    if (session == 0) break;
                    bool added = name == nameof(ReaderAdded);
                    _events.Raise(name, () => Volatile.Read(ref _readerSession) != session ? null : added ? ReaderAdded : ReaderRemoved,
                                  this, reader);
                    break;
            }
        }

        // On the thread of the handler that threw (see HandlerFailed).
        private void OnHandlerFailed(string eventName, Exception failure)
        {
            EventHandler<HandlerFailedEventArgs> handlers = HandlerFailed;
            if (handlers == null)
            {
                System.Diagnostics.Trace.TraceError("Korvat.Nfc: a handler of {0} threw: {1}", eventName, failure);
                return;
            }
            handlers(this, new HandlerFailedEventArgs(eventName, failure));
        }

        private bool IsDisposed => Volatile.Read(ref _disposed) != 0;

        private void ThrowIfDisposed()
        {
            if (IsDisposed) throw new ObjectDisposedException(nameof(NfcReader));
        }
    }
}
