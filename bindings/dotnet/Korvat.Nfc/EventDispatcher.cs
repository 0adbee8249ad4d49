using System;
using System.Collections.Concurrent;
using System.Threading;

namespace Korvat.Nfc
{
    /// <summary>
    /// Where a reader's events are raised: on the SynchronizationContext of the thread that made
    /// the reader (a WinForms or WPF form's), or else one by one, in order, on a worker thread of
    /// the reader's own, so that a handler may block or call the reader without holding up the
    /// message window.
    /// <para>
    /// Whether an event still runs is decided when it is delivered, not when it is raised: once
    /// <see cref="Stop"/> has begun, an event posted to the context or queued for the worker is
    /// dropped. Deliveries run one at a time under one lock, which <see cref="Stop"/> takes too, so
    /// when it returns no handler runs (a handler that calls it returns from it at once, and one
    /// that outlives the bound keeps running). An exception of a handler is caught where it is
    /// delivered and given to the report callback; it never reaches the context or the thread.
    /// </para>
    /// </summary>
    internal sealed class EventDispatcher
    {
        private readonly SynchronizationContext _context;
        private readonly BlockingCollection<Action> _queue;
        private readonly Thread _thread;
        private readonly Action<string, Exception> _handlerFailed;
        private readonly object _delivering = new object();
        private int _stopped;

        /// <param name="context">The context to post to, or null for a worker thread.</param>
        /// <param name="threadName">The worker thread's name.</param>
        /// <param name="handlerFailed">Called with the event's name and the exception when a
        /// handler throws, on the thread that ran the handler; its own exceptions are traced.</param>
        public EventDispatcher(SynchronizationContext context, string threadName, Action<string, Exception> handlerFailed)
        {
            _context = context;
            _handlerFailed = handlerFailed;
            if (context != null) return;
            _queue = new BlockingCollection<Action>();
            _thread = new Thread(Run) { IsBackground = true, Name = threadName };
            _thread.Start();
        }

        public bool IsDispatchThread => _thread != null && Thread.CurrentThread == _thread;

        public bool IsStopped => Volatile.Read(ref _stopped) != 0;

        /// <summary>
        /// Delivers the event later, in order, unless the dispatcher stops first: each handler the
        /// event has then is called in turn (one that throws is reported and the next is called),
        /// until one of them stops the dispatcher.
        /// </summary>
        public void Raise<T>(string eventName, Func<EventHandler<T>> handlers, object sender, T args) where T : EventArgs
        {
            if (IsStopped) return;
            Action delivery = () =>
            {
                EventHandler<T> current = handlers();
                if (current == null) return;
                foreach (EventHandler<T> handler in current.GetInvocationList())
                {
                    if (IsStopped) return;
                    try
                    {
                        handler(sender, args);
                    }
                    catch (Exception e)
                    {
                        Report(eventName, e);
                    }
                }
            };
            if (_context != null)
            {
                _context.Post(state => Deliver((Action)state), delivery);
                return;
            }
            try
            {
                _queue.Add(delivery);
            }
            catch (InvalidOperationException)
            {
                // stopped meanwhile: the reader is disposed, its events are over
            }
        }

        /// <summary>
        /// Ends the events: nothing raised, posted or queued before runs from now on. Waits at most
        /// the bound for a handler that is running on another thread, then for the worker thread's
        /// end (neither on the thread of the handler that calls it). Returns whether both ended.
        /// </summary>
        public bool Stop(TimeSpan bound)
        {
            Interlocked.Exchange(ref _stopped, 1);
            _queue?.CompleteAdding();
            var clock = System.Diagnostics.Stopwatch.StartNew();
            bool idle = true;
            if (!Monitor.IsEntered(_delivering))
            {
                idle = Monitor.TryEnter(_delivering, bound);
                if (idle) Monitor.Exit(_delivering);
            }
            if (_thread == null || IsDispatchThread) return idle;
            TimeSpan left = bound - clock.Elapsed;
            return _thread.Join(left > TimeSpan.Zero ? left : TimeSpan.Zero) && idle;
        }

        private void Run()
        {
            foreach (Action delivery in _queue.GetConsumingEnumerable())
            {
                Deliver(delivery);
            }
        }

        private void Deliver(Action delivery)
        {
            lock (_delivering)
            {
                if (!IsStopped) delivery();
            }
        }

        private void Report(string eventName, Exception failure)
        {
            try
            {
                _handlerFailed(eventName, failure);
            }
            catch (Exception reportFailure)
            {
                System.Diagnostics.Trace.TraceError("Korvat.Nfc: a handler of {0} threw: {1}; its report threw: {2}", eventName, failure, reportFailure);
            }
        }
    }
}
