using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Xunit;

namespace Korvat.Nfc.Tests
{
    // The reader's event delivery without the native DLL: on its worker thread and on a
    // SynchronizationContext, events raised before a stop are dropped, a stop waits for a running
    // handler (within its bound) but not for the handler that calls it, and a handler's exception
    // is reported and ends neither the thread nor the event's other handlers.
    public class EventDispatcherTests
    {
        private static readonly TimeSpan Bound = TimeSpan.FromSeconds(20);

        private sealed class Probe
        {
            public readonly ConcurrentQueue<string> Ran = new ConcurrentQueue<string>();
            public readonly ConcurrentQueue<(string Event, Exception Failure, Thread Thread)> Failures =
                new ConcurrentQueue<(string, Exception, Thread)>();
            public event EventHandler<EventArgs> Happened;
            public EventHandler<EventArgs> Handlers => Happened;
            public void Report(string name, Exception failure) => Failures.Enqueue((name, failure, Thread.CurrentThread));
        }

        // A form's context as far as Post goes: the posts wait in a queue until the test pumps them.
        private sealed class QueuedContext : SynchronizationContext
        {
            private readonly ConcurrentQueue<(SendOrPostCallback, object)> _posted = new ConcurrentQueue<(SendOrPostCallback, object)>();
            public int Count => _posted.Count;
            public override void Post(SendOrPostCallback callback, object state) => _posted.Enqueue((callback, state));
            public void Pump()
            {
                while (_posted.TryDequeue(out var post)) post.Item1(post.Item2);
            }
        }

        private static void Raise(EventDispatcher events, Probe probe, string name) =>
            events.Raise(name, () => probe.Handlers, probe, EventArgs.Empty);

        [Fact]
        public void AnEventPostedToTheContextBeforeTheStopDoesNotRun()
        {
            var context = new QueuedContext();
            var probe = new Probe();
            probe.Happened += (s, e) => probe.Ran.Enqueue("handler");
            var events = new EventDispatcher(context, "test events", probe.Report);
            Raise(events, probe, "first");
            Assert.Equal(1, context.Count);
            Assert.True(events.Stop(Bound));
            Raise(events, probe, "after the stop");
            context.Pump();
            Assert.Empty(probe.Ran);
            Assert.Equal(0, context.Count);
        }

        // A dispatcher on its worker thread whose handler runs until released; returns once it runs.
        private static EventDispatcher RunningHandler(Probe probe, ManualResetEventSlim release)
        {
            var entered = new ManualResetEventSlim();
            probe.Happened += (s, e) =>
            {
                probe.Ran.Enqueue("handler");
                entered.Set();
                release.Wait(Bound);
            };
            var events = new EventDispatcher(null, "test events", probe.Report);
            Raise(events, probe, "first");
            Assert.True(entered.Wait(Bound));
            return events;
        }

        [Fact]
        public void AStopWaitsForTheRunningHandlerAndDropsTheQueuedEvents()
        {
            var probe = new Probe();
            var release = new ManualResetEventSlim();
            var events = RunningHandler(probe, release);
            Raise(events, probe, "queued");
            Raise(events, probe, "queued too");
            bool stopResult = false;
            var stopping = new Thread(() => stopResult = events.Stop(Bound));
            stopping.Start();
            Assert.False(stopping.Join(TimeSpan.FromMilliseconds(300)), "the stop returned while a handler ran");
            release.Set();
            Assert.True(stopping.Join(Bound));
            Assert.True(stopResult, "the handler and the worker thread ended within the bound");
            Assert.Equal(new[] { "handler" }, probe.Ran);
        }

        [Fact]
        public void AStopWhoseBoundRunsOutSaysSo()
        {
            var release = new ManualResetEventSlim();
            var events = RunningHandler(new Probe(), release);
            Assert.False(events.Stop(TimeSpan.FromMilliseconds(100)));
            release.Set();
        }

        [Theory]
        [InlineData(false)]
        [InlineData(true)]
        public void AHandlerThatStopsReturnsAtOnceAndNothingAfterItRuns(bool onContext)
        {
            var context = onContext ? new QueuedContext() : null;
            var probe = new Probe();
            var done = new ManualResetEventSlim();
            EventDispatcher events = null;
            bool? stopped = null;
            probe.Happened += (s, e) =>
            {
                probe.Ran.Enqueue("stopping handler");
                stopped = events.Stop(Bound);
                done.Set();
            };
            probe.Happened += (s, e) => probe.Ran.Enqueue("the next handler");
            events = new EventDispatcher(context, "test events", probe.Report);
            Raise(events, probe, "first");
            Raise(events, probe, "second");
            context?.Pump();
            Assert.True(done.Wait(Bound));
            Assert.True(stopped);
            Thread.Sleep(100);  // the worker thread's chance to run what it should not
            Assert.Equal(new[] { "stopping handler" }, probe.Ran);
            Assert.Empty(probe.Failures);
        }

        [Theory]
        [InlineData(false)]
        [InlineData(true)]
        public void AHandlersExceptionIsReportedAndTheEventsGoOn(bool onContext)
        {
            var context = onContext ? new QueuedContext() : null;
            var probe = new Probe();
            var handlerThreads = new ConcurrentQueue<Thread>();
            var failure = new InvalidOperationException("from the handler");
            probe.Happened += (s, e) =>
            {
                handlerThreads.Enqueue(Thread.CurrentThread);
                throw failure;
            };
            probe.Happened += (s, e) => probe.Ran.Enqueue("the next handler");
            var events = new EventDispatcher(context, "test events", probe.Report);
            Raise(events, probe, "first");
            Raise(events, probe, "second");
            context?.Pump();
            SpinWait.SpinUntil(() => probe.Ran.Count == 2, Bound);
            Assert.True(events.Stop(Bound));
            Assert.Equal(new[] { "the next handler", "the next handler" }, probe.Ran);
            Assert.Equal(new[] { "first", "second" }, probe.Failures.Select(f => f.Event));
            Assert.All(probe.Failures, f => Assert.Same(failure, f.Failure));
            Assert.Equal(handlerThreads, probe.Failures.Select(f => f.Thread));
        }

        [Fact]
        public void AReportThatThrowsEndsNeitherTheThreadNorTheEvents()
        {
            var probe = new Probe();
            var ran = new CountdownEvent(2);
            probe.Happened += (s, e) =>
            {
                ran.Signal();
                throw new InvalidOperationException("from the handler");
            };
            var events = new EventDispatcher(null, "test events", (name, e) => throw new InvalidOperationException("from the report"));
            Raise(events, probe, "first");
            Raise(events, probe, "second");
            Assert.True(ran.Wait(Bound), "the second event came after the first's report threw");
            Assert.True(events.Stop(Bound));
        }
    }
}
