using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;

namespace Korvat.Nfc
{
    /// <summary>
    /// A reader's waits for targets and for access, fed by its messages: the targets found while
    /// no wait was pending are kept (the newest <c>kept</c>, oldest first) for the next waits; a
    /// target that left is kept no longer, and an access wait for it fails; once closed, every
    /// wait pending and every later one fails with the exception given. The waits' tasks complete
    /// asynchronously, never on the thread that feeds them.
    /// </summary>
    internal sealed class TargetWaits
    {
        private readonly object _lock = new object();
        private readonly int _kept;
        private readonly List<TaskCompletionSource<Target>> _targetWaiters = new List<TaskCompletionSource<Target>>();
        private readonly Queue<Target> _unclaimed = new Queue<Target>();
        private readonly Dictionary<uint, List<TaskCompletionSource<bool>>> _accessWaiters = new Dictionary<uint, List<TaskCompletionSource<bool>>>();
        private Exception _closed;

        public TargetWaits(int kept) => _kept = kept;

        /// <summary>Forgets the targets kept (polling starts again).</summary>
        public void ForgetFound()
        {
            lock (_lock) _unclaimed.Clear();
        }

        /// <summary>The oldest target kept, else the next one found; cancelled by the token.</summary>
        public Task<Target> WaitForTarget(CancellationToken token)
        {
            var waiter = new TaskCompletionSource<Target>(TaskCreationOptions.RunContinuationsAsynchronously);
            lock (_lock)
            {
                if (_closed != null) return Task.FromException<Target>(_closed);
                if (_unclaimed.Count > 0) return Task.FromResult(_unclaimed.Dequeue());
                _targetWaiters.Add(waiter);
            }
            return WithCancellation(waiter, token, () => { lock (_lock) _targetWaiters.Remove(waiter); });
        }

        /// <summary>Waits for the access of target <paramref name="number"/>, which
        /// <paramref name="start"/> asks for once the wait is in place; its exception fails the
        /// task (the call itself does not throw).</summary>
        public Task WaitForAccess(uint number, Action start, CancellationToken token)
        {
            var waiter = new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
            lock (_lock)
            {
                if (_closed != null) return Task.FromException(_closed);
                if (!_accessWaiters.TryGetValue(number, out var list)) _accessWaiters[number] = list = new List<TaskCompletionSource<bool>>();
                list.Add(waiter);
            }
            Action forget = () => { lock (_lock) { if (_accessWaiters.TryGetValue(number, out var list)) list.Remove(waiter); } };
            try
            {
                start();
            }
            catch (Exception e)
            {
                forget();
                return Task.FromException(e);
            }
            return WithCancellation(waiter, token, forget);
        }

        /// <summary>A target was found: to the waits pending, else kept for the next wait.</summary>
        public void Found(Target target)
        {
            List<TaskCompletionSource<Target>> waiters;
            lock (_lock)
            {
                if (_closed != null) return;
                waiters = _targetWaiters.ToList();
                _targetWaiters.Clear();
                if (waiters.Count == 0)
                {
                    _unclaimed.Enqueue(target);
                    if (_unclaimed.Count > _kept) _unclaimed.Dequeue();
                }
            }
            foreach (var waiter in waiters) waiter.TrySetResult(target);
        }

        /// <summary>A target left: no wait gets it any more, and an access wait for it fails with
        /// <see cref="InvalidOperationException"/>.</summary>
        public void Lost(uint targetNumber)
        {
            List<TaskCompletionSource<bool>> waiters;
            lock (_lock)
            {
                var kept = _unclaimed.Where(target => target.TargetNumber != targetNumber).ToList();
                _unclaimed.Clear();
                foreach (var target in kept) _unclaimed.Enqueue(target);
                if (_accessWaiters.TryGetValue(targetNumber, out waiters)) _accessWaiters.Remove(targetNumber);
            }
            if (waiters == null) return;
            var gone = new InvalidOperationException($"target {targetNumber} left the field before its access was enabled");
            foreach (var waiter in waiters) waiter.TrySetException(gone);
        }

        /// <summary>The access of a target is enabled: its access waits complete.</summary>
        public void AccessEnabled(uint targetNumber)
        {
            List<TaskCompletionSource<bool>> waiters;
            lock (_lock)
            {
                if (_accessWaiters.TryGetValue(targetNumber, out waiters)) _accessWaiters.Remove(targetNumber);
            }
            if (waiters != null) foreach (var waiter in waiters) waiter.TrySetResult(true);
        }

        /// <summary>Fails every wait pending, and every later one, with <paramref name="reason"/>.</summary>
        public void Close(Exception reason)
        {
            List<TaskCompletionSource<Target>> targetWaiters;
            List<TaskCompletionSource<bool>> accessWaiters;
            lock (_lock)
            {
                if (_closed != null) return;
                _closed = reason;
                // No wait is added once closed: these are all there will be.
                targetWaiters = _targetWaiters.ToList();
                accessWaiters = _accessWaiters.Values.SelectMany(list => list).ToList();
                _targetWaiters.Clear();
                _accessWaiters.Clear();
                _unclaimed.Clear();
            }
            foreach (var waiter in targetWaiters) waiter.TrySetException(reason);
            foreach (var waiter in accessWaiters) waiter.TrySetException(reason);
        }

        private static async Task<T> WithCancellation<T>(TaskCompletionSource<T> waiter, CancellationToken token, Action forget)
        {
            if (!token.CanBeCanceled) return await waiter.Task.ConfigureAwait(false);
            using (token.Register(() => { forget(); waiter.TrySetCanceled(token); }))
            {
                return await waiter.Task.ConfigureAwait(false);
            }
        }
    }
}
