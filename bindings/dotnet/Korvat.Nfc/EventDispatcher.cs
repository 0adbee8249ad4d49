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
    /// </summary>
    internal sealed class EventDispatcher
    {
        private readonly SynchronizationContext _context;
        private readonly BlockingCollection<Action> _queue;
        private readonly Thread _thread;

        public EventDispatcher(SynchronizationContext context, string threadName)
        {
            _context = context;
            if (context != null) return;
            _queue = new BlockingCollection<Action>();
            _thread = new Thread(Run) { IsBackground = true, Name = threadName };
            _thread.Start();
        }

        public bool IsDispatchThread => _thread != null && Thread.CurrentThread == _thread;

        public void Raise(Action action)
        {
            if (_context != null)
            {
                _context.Post(_ => action(), null);
                return;
            }
            try
            {
                _queue.Add(action);
            }
            catch (InvalidOperationException)
            {
                // stopped: the reader is disposed, its events are over
            }
        }

        /// <summary>Ends the worker thread after the events queued; waits at most the bound (not on the thread itself).</summary>
        public void Stop(TimeSpan bound)
        {
            if (_thread == null) return;
            _queue.CompleteAdding();
            if (!IsDispatchThread) _thread.Join(bound);
        }

        private void Run()
        {
            foreach (Action action in _queue.GetConsumingEnumerable())
            {
                action();
            }
        }
    }
}
