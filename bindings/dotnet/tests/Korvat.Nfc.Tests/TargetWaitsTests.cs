using System;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace Korvat.Nfc.Tests
{
    // A reader's waits for targets and access as its messages feed them: targets found while no
    // wait pends are kept for the next waits, a target that left is no longer given and fails the
    // access wait for it, and closing fails every wait, pending or later.
    public class TargetWaitsTests
    {
        private static readonly TimeSpan Bound = TimeSpan.FromSeconds(20);

        // A type A target with this number (the record of TargetDecodeTests).
        private static Target TargetNumbered(uint number) =>
            Target.Decode(Bytes.Of($"01000000 {number:X2}000000 4400 20 07 045A3C912B6E80000000 05 0578807002"));

        private static async Task<uint> Taken(Task<Target> wait) => (await wait.WaitAsync(Bound)).TargetNumber;

        [Fact]
        public async Task TargetsFoundWhileNoWaitPendsGoToTheNextWaitsOldestFirstUnlessTheyLeft()
        {
            var waits = new TargetWaits(16);
            waits.Found(TargetNumbered(1));
            waits.Found(TargetNumbered(2));
            waits.Found(TargetNumbered(3));
            waits.Lost(2);
            Assert.Equal(1u, await Taken(waits.WaitForTarget(default)));
            Assert.Equal(3u, await Taken(waits.WaitForTarget(default)));
            var pending = waits.WaitForTarget(default);
            Assert.False(pending.IsCompleted, "nothing kept: the wait pends");
            waits.Found(TargetNumbered(4));
            Assert.Equal(4u, await Taken(pending));
        }

        [Fact]
        public async Task OnlyTheNewestTargetsAreKept()
        {
            var waits = new TargetWaits(2);
            for (uint number = 1; number <= 4; ++number) waits.Found(TargetNumbered(number));
            Assert.Equal(3u, await Taken(waits.WaitForTarget(default)));
            Assert.Equal(4u, await Taken(waits.WaitForTarget(default)));
        }

        [Fact]
        public async Task ATargetThatLeavesFailsItsAccessWaitAndNoOther()
        {
            var waits = new TargetWaits(16);
            var started = new System.Collections.Generic.List<uint>();
            Task leaving = waits.WaitForAccess(5, () => started.Add(5), default);
            Task staying = waits.WaitForAccess(6, () => started.Add(6), default);
            Assert.Equal(new uint[] { 5, 6 }, started);
            waits.Lost(5);
            var failure = await Assert.ThrowsAsync<InvalidOperationException>(() => leaving.WaitAsync(Bound));
            Assert.Contains("target 5 left", failure.Message);
            Assert.False(staying.IsCompleted, "the other target's access still pends");
            waits.AccessEnabled(6);
            await staying.WaitAsync(Bound);
            waits.AccessEnabled(5);  // too late: nothing waits for it any more
        }

        [Fact]
        public async Task AnAccessThatCannotStartFailsItsTaskAndLeavesNoWait()
        {
            var waits = new TargetWaits(16);
            var refused = new NfcException("korvatlib_nfc_start_dev_access", 0x80C0000D, 0);
            Task access = waits.WaitForAccess(7, () => throw refused, default);
            Assert.Same(refused, await Assert.ThrowsAsync<NfcException>(() => access.WaitAsync(Bound)));
            waits.Lost(7);  // no wait of its own to fail
        }

        [Fact]
        public async Task ClosingFailsThePendingWaitsAndEveryLaterOneAndKeepsNothing()
        {
            var waits = new TargetWaits(16);
            var reason = new ObjectDisposedException("reader");
            Task<Target> target = waits.WaitForTarget(default);
            Task access = waits.WaitForAccess(8, () => { }, default);
            waits.Close(reason);
            waits.Found(TargetNumbered(9));  // after the close: kept for no one
            foreach (Task wait in new Task[] { target, access, waits.WaitForTarget(default), waits.WaitForAccess(9, () => { }, default) })
            {
                Assert.Same(reason, await Assert.ThrowsAsync<ObjectDisposedException>(() => wait.WaitAsync(Bound)));
            }
        }

        [Fact]
        public async Task ACancelledWaitLeavesTheNextTargetToTheNextWait()
        {
            var waits = new TargetWaits(16);
            using var cancellation = new CancellationTokenSource();
            Task<Target> cancelled = waits.WaitForTarget(cancellation.Token);
            cancellation.Cancel();
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => cancelled.WaitAsync(Bound));
            Assert.True(cancelled.IsCanceled);
            waits.Found(TargetNumbered(10));
            Assert.Equal(10u, await Taken(waits.WaitForTarget(default)));
        }
    }
}
