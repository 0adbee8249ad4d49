' The binding's whole road against the simulated reader plug-in, in a real .NET runtime:
' events with their records, the awaitable road, Thru, NDEF through the tag library, errors as
' exceptions with their names, Dispose from other threads while polling, collections while
' polling, and the reader errors the library posts, played by the scriptable test plug-in. Each
' test prints PASS or FAIL; the last line is "N passed, M failed".
Imports System.Collections.Concurrent
Imports System.IO
Imports System.Runtime.InteropServices
Imports System.Threading
Imports Korvat.Nfc
Imports Korvat.Nfc.Interop
Imports Korvat.Nfc.Ndef
Imports Microsoft.Win32

Module Program
    Private ReadOnly Bound As TimeSpan = TimeSpan.FromSeconds(20)
    Private ReadOnly DisposeBound As TimeSpan = TimeSpan.FromSeconds(5)
    Private passed As Integer
    Private failed As Integer
    Private workDirectory As String

    ' The driver status word of a plug-in: state code in bits 0-3, the card error's kind in bits
    ' 20-23, the device error's in bits 24-27.
    Private Const StatusIdle As UInteger = 1, StatusCardError As UInteger = &HE, StatusDeviceError As UInteger = &HF
    Private Const CardErrorShift As Integer = 20, DeviceErrorShift As Integer = 24

    Private Const CardA As String = "card A {0} {1} nfcid1=045A3C912B6E80 sens_res=0044 sel_res=20 ats=0578807002" & vbLf &
                                    "uri https://www.example.com/korvat-nfc" & vbLf
    Private Const CardB As String = "card B {0} {1} atqb=501A2B3C4D0000000000718F attrib=10 {2}" & vbLf &
                                    "text en Hello from the type B card" & vbLf
    Private Const CardF As String = "card F {0} {1} nfcid2=012E4C5D6E7F8091 pad=03014B024F4993FF rd=12FC" & vbLf &
                                    "text en Hello at 212 kbit/s" & vbLf & "uri tel:+358401234567" & vbLf

    Function Main(args As String()) As Integer
        workDirectory = Path.Combine(Path.GetTempPath(), "korvat-nfc-winetests")
        Directory.CreateDirectory(workDirectory)
        Console.WriteLine($".NET {Environment.Version}, {NativeLibraryResolver.RuntimeIdentifier}, native DLLs from {NativeLibraryResolver.NativeDirectory}")
        Configure()

        Dim filter As String = If(args.Length > 0, args(0), "")
        Dim tests As New List(Of KeyValuePair(Of String, Action)) From {
            Pair("events carry the decoded records of A, B and F targets, access and NDEF from the handlers", AddressOf EventsCarryTheRecords),
            Pair("events are raised on the creating thread's SynchronizationContext", AddressOf EventsUseTheSynchronizationContext),
            Pair("reader errors while polling raise ReaderError with the library's pair, on the context's thread", AddressOf ReaderErrorsCarryThePair),
            Pair("with event_notification = 1 TargetLost follows each target on the context's thread; without it none comes", AddressOf TargetLostFollowsItsTarget),
            Pair("with plug_and_play = 1 a reader that comes and goes raises ReaderAdded and ReaderRemoved and is listed; without it watching is refused", AddressOf ReadersComeAndGo),
            Pair("a reader event still queued when StopWatchingReaders returns is not raised; watching again announces the reader anew", AddressOf StoppedWatchingRaisesNoQueuedReaderEvent),
            Pair("the awaitable road: wait for a target, read its NDEF message", AddressOf AwaitableRoadReadsNdef),
            Pair("a target found before the wait began is not missed", AddressOf EarlierTargetIsNotMissed),
            Pair("a wait for a target ends with its cancellation", AddressOf WaitIsCancelled),
            Pair("Thru answers, time-out and logging with access enabled", AddressOf ThruAnswers),
            Pair("failures are NfcExceptions with code, detail and name", AddressOf ErrorsMapToExceptions),
            Pair("an NDEF message written through the binding reads back as written", AddressOf NdefWrittenReadsBack),
            Pair("the managed NDEF codec and the tag library's agree byte for byte", AddressOf NdefCodecAgreesWithTagLibrary),
            Pair("Dispose from another thread while polling returns promptly and ends pending waits", AddressOf DisposeFromAnotherThread),
            Pair("Dispose from an event handler returns", AddressOf DisposeFromAHandler),
            Pair("events posted to the context before Dispose do not run after it", AddressOf PostedEventsDoNotRunAfterDispose),
            Pair("events queued for the worker thread are dropped at Dispose, which waits for the running handler", AddressOf QueuedEventsAreDroppedAtDispose),
            Pair("a handler's exception is reported by HandlerFailed and ends neither the events nor the process", AddressOf HandlerExceptionsAreReported),
            Pair("the async calls fail their task instead of throwing", AddressOf AsyncCallsFailTheirTask),
            Pair("Thru benchmark: collections and latency of the reused response buffer", AddressOf ThruBenchmark),
            Pair("forced collections while polling break nothing", AddressOf CollectionsWhilePolling)
        }
        For Each test In tests
            If test.Key.Contains(filter) Then Run(test.Key, test.Value)
        Next
        Console.WriteLine($"{passed} passed, {failed} failed")
        Return If(failed = 0 AndAlso passed > 0, 0, 1)
    End Function

    ' ---------------------------------------------------------------- tests

    Private Sub EventsCarryTheRecords()
        UseScenario(String.Format(CardA, 0, 1500) & String.Format(CardB, 1500, 3300, "") & String.Format(CardF, 3300, 5400))
        Dim targets As New List(Of Target)
        Dim messages As New Dictionary(Of UInteger, NdefMessage)
        Dim accessSteps As New List(Of String)
        Dim handlerThreads As New HashSet(Of Thread)
        Dim done As New ManualResetEventSlim()
        Using reader As New NfcReader()
            AddHandler reader.TargetFound,
                Sub(sender, e)
                    SyncLock targets
                        targets.Add(e.Target)
                        handlerThreads.Add(Thread.CurrentThread)
                    End SyncLock
                End Sub
            AddHandler reader.AccessChanged,
                Sub(sender, e)
                    SyncLock targets
                        accessSteps.Add($"{e.TargetNumber}:{e.Access}")
                        handlerThreads.Add(Thread.CurrentThread)
                    End SyncLock
                    If e.Access = TargetAccess.Waiting Then
                        reader.StartDeviceAccess(e.TargetNumber)
                    Else
                        Dim target As Target
                        SyncLock targets
                            target = targets.Single(Function(t) t.TargetNumber = e.TargetNumber)
                        End SyncLock
                        messages(e.TargetNumber) = NfcTags.ReadNdef(target)
                        reader.StopDeviceAccess()
                        If messages.Count = 3 Then done.Set()
                    End If
                End Sub
            Equal("SIM0", reader.Open(), "port opened by the empty name")
            reader.StartPolling(TargetKinds.All)
            Check(done.Wait(Bound), $"three targets read within {Bound.TotalSeconds} s; found: {targets.Count}, access: {String.Join(" ", accessSteps)}")
        End Using

        Dim a = TryCast(targets(0), Target14443A)
        Check(a IsNot Nothing, $"the first target is type A: {targets(0)}")
        Equal("045A3C912B6E80", Hex(a.Nfcid1), "NFCID1")
        Equal(CUShort(&H44), a.SensRes, "SENS_RES")
        Equal(CByte(&H20), a.SelRes, "SEL_RES")
        Equal("0578807002", Hex(a.Ats), "ATS")
        Equal(23 + 5, a.Record.Length, "type A record size")
        Dim b = TryCast(targets(1), Target14443B)
        Check(b IsNot Nothing, $"the second target is type B: {targets(1)}")
        Equal("501A2B3C4D0000000000718F", Hex(b.Atqb), "ATQB")
        Equal("10", Hex(b.Attrib), "ATTRIB")
        Dim f = TryCast(targets(2), Target18092)
        Check(f IsNot Nothing, $"the third target is 18092: {targets(2)}")
        Equal(TargetKinds.Iso18092At212, f.Kind, "18092 kind")
        Equal("012E4C5D6E7F8091", Hex(f.Nfcid2), "NFCID2")
        Equal("03014B024F4993FF", Hex(f.Pad), "Pad")
        Equal("12FC", Hex(f.RequestData), "RD")
        Check(a.TargetNumber < b.TargetNumber AndAlso b.TargetNumber < f.TargetNumber, "target numbers rise")
        For Each t In targets
            Dim waiting = accessSteps.IndexOf($"{t.TargetNumber}:Waiting")
            Dim enabled = accessSteps.IndexOf($"{t.TargetNumber}:Enabled")
            Check(waiting >= 0 AndAlso enabled > waiting, $"target {t.TargetNumber}: waiting, then enabled: {String.Join(" ", accessSteps)}")
        Next
        Equal("https://www.example.com/korvat-nfc", DirectCast(messages(a.TargetNumber).Records.Single(), UriRecord).Uri, "A's URI")
        Dim text = DirectCast(messages(b.TargetNumber).Records.Single(), TextRecord)
        Equal("en|Hello from the type B card", text.Language & "|" & text.Text, "B's text")
        Dim fRecords = messages(f.TargetNumber).Records
        Equal("Hello at 212 kbit/s", DirectCast(fRecords(0), TextRecord).Text, "F's text")
        Equal("tel:+358401234567", DirectCast(fRecords(1), UriRecord).Uri, "F's URI")
        Check(Not handlerThreads.Contains(Thread.CurrentThread), "handlers ran on a worker thread, not the caller's")
    End Sub

    Private Sub EventsUseTheSynchronizationContext()
        UseScenario(String.Format(CardA, 0, 60000))
        Dim context As New PumpedContext()
        Dim main = Thread.CurrentThread
        Dim seen As New List(Of String)
        SynchronizationContext.SetSynchronizationContext(context)
        Try
            Using reader As New NfcReader()
                AddHandler reader.TargetFound, Sub(s, e) seen.Add($"found on {If(Thread.CurrentThread Is main, "main", "other")}")
                AddHandler reader.AccessChanged, Sub(s, e) seen.Add($"{e.Access} on {If(Thread.CurrentThread Is main, "main", "other")}")
                reader.Open()
                reader.StartPolling(TargetKinds.Iso14443A)
                Check(context.PumpUntil(Function() seen.Count >= 2, Bound), $"two events pumped within the bound: {String.Join(", ", seen)}")
            End Using
        Finally
            SynchronizationContext.SetSynchronizationContext(Nothing)
        End Try
        Equal("found on main, Waiting on main", String.Join(", ", seen.Take(2)), "events in order, on the context's thread")
    End Sub

    ' Two cards, one after the other, in both modes: with event_notification = 1 each target's
    ' TargetLost (its number) comes after its TargetFound and before the next target's, on the
    ' context's thread, and a wait is no longer given a target that left; in the default mode the
    ' same cards raise no TargetLost.
    Private Sub TargetLostFollowsItsTarget()
        UseScenario(String.Format(CardA, 0, 900) & String.Format(CardB, 1800, 2700, ""))
        For Each eventMode In {True, False}
            Dim context As New PumpedContext()
            Dim main = Thread.CurrentThread
            Dim seen As New List(Of String)
            Dim numbers As New List(Of UInteger)
            Dim where As Func(Of String) = Function() If(Thread.CurrentThread Is main, "", " off the context's thread")
            SetOptIn("event_notification", eventMode)
            SynchronizationContext.SetSynchronizationContext(context)
            Try
                Using reader As New NfcReader()
                    AddHandler reader.TargetFound,
                        Sub(s, e)
                            numbers.Add(e.Target.TargetNumber)
                            seen.Add($"found {e.Target.Kind} {e.Target.TargetNumber}{where()}")
                        End Sub
                    AddHandler reader.TargetLost, Sub(s, e) seen.Add($"lost {e.TargetNumber}{where()}")
                    reader.Open()
                    reader.StartPolling(TargetKinds.All)
                    ' The second card leaves 2.7 s after the start; its departure comes well within 1.3 s more.
                    context.PumpUntil(Function() False, TimeSpan.FromMilliseconds(4000))
                    ' Both were found while no wait was pending: a wait gets the first of them, unless
                    ' they left (then none is given).
                    Dim pending = reader.WaitForTargetAsync()
                    If eventMode Then
                        Check(Not pending.Wait(300), "a wait is not given a target that left")
                    Else
                        Check(pending.Wait(300) AndAlso pending.Result.TargetNumber = numbers(0), "a wait is given the first target found")
                    End If
                End Using
            Finally
                SynchronizationContext.SetSynchronizationContext(Nothing)
                SetOptIn("event_notification", False)
            End Try
            Check(numbers.Count = 2, $"two targets found ({If(eventMode, "event", "default")} mode): {String.Join(", ", seen)}")
            Dim expected = If(eventMode,
                              $"found Iso14443A {numbers(0)}, lost {numbers(0)}, found Iso14443B {numbers(1)}, lost {numbers(1)}",
                              $"found Iso14443A {numbers(0)}, found Iso14443B {numbers(1)}")
            Equal(expected, String.Join(", ", seen), $"events in order ({If(eventMode, "event", "default")} mode)")
        Next
    End Sub

    ' The simulator's reader SIM1 (a port line of its scenario) is plugged in for 1.5 s from the
    ' plug-in's load, then out for 1 s, and so on. With plug_and_play = 1 the reader lists it while
    ' it is there, and watching announces it at once, then its removal and its return, on the
    ' context's thread; without the value watching is refused.
    Private Sub ReadersComeAndGo()
        UseScenario("port SIM1 1500 1000 Desk reader" & vbLf)
        ExpectFailure("watching without plug_and_play",
                      Sub()
                          Using reader As New NfcReader()
                              reader.StartWatchingReaders()
                          End Using
                      End Sub,
                      &H80C00002UI, 0, "KORVAT_NFC_E_NOT_IMPLEMENTED", "korvatlib_nfc_set_pnp_callback_parameters")
        Dim context As New PumpedContext()
        Dim main = Thread.CurrentThread
        Dim seen As New List(Of String)
        Dim where As Func(Of String) = Function() If(Thread.CurrentThread Is main, "", " off the context's thread")
        SetOptIn("plug_and_play", True)
        SynchronizationContext.SetSynchronizationContext(context)
        Try
            Using reader As New NfcReader()
                Dim listed = reader.GetReaders()
                Equal("SIM1 (category 0): Desk reader", String.Join("; ", listed), "the readers there now")
                AddHandler reader.ReaderAdded, Sub(s, e) seen.Add($"added {e.Reader}{where()}")
                AddHandler reader.ReaderRemoved, Sub(s, e) seen.Add($"removed {e.Reader}{where()}")
                reader.StartWatchingReaders()
                reader.StartWatchingReaders()  ' a second start while watching does nothing
                Check(context.PumpUntil(Function() seen.Count >= 3, TimeSpan.FromSeconds(6)), $"three reader events: {String.Join(", ", seen)}")
                reader.StopWatchingReaders()
                Check(Not reader.IsWatchingReaders, "watching stopped")
            End Using
        Finally
            SynchronizationContext.SetSynchronizationContext(Nothing)
            SetOptIn("plug_and_play", False)
        End Try
        Equal("added SIM1 (category 0): Desk reader, removed SIM1 (category 0): Desk reader, added SIM1 (category 0): Desk reader",
              String.Join(", ", seen.Take(3)), "reader events in order, on the context's thread")
    End Sub

    ' The reader present when watching starts is announced at once; that event, posted to the
    ' context and not yet pumped when StopWatchingReaders returns, is dropped, on the context as on
    ' a worker thread alike. Watching again announces the reader again, and that event comes.
    Private Sub StoppedWatchingRaisesNoQueuedReaderEvent()
        UseScenario("port SIM1 60000 1000 Desk reader" & vbLf)
        Dim context As New PumpedContext()
        Dim seen As New List(Of String)
        SetOptIn("plug_and_play", True)
        SynchronizationContext.SetSynchronizationContext(context)
        Try
            Using reader As New NfcReader()
                AddHandler reader.ReaderAdded, Sub(s, e) seen.Add($"added {e.Reader.PortName}")
                AddHandler reader.ReaderRemoved, Sub(s, e) seen.Add($"removed {e.Reader.PortName}")
                reader.StartWatchingReaders()
                Dim clock = Stopwatch.StartNew()
                While context.Count = 0 AndAlso clock.Elapsed < TimeSpan.FromSeconds(5)
                    Thread.Sleep(10)
                End While
                Check(context.Count > 0, "the reader's announcement was posted to the context")
                reader.StopWatchingReaders()
                context.PumpUntil(Function() False, TimeSpan.FromMilliseconds(500))
                Equal("", String.Join(", ", seen), "no reader event after StopWatchingReaders")
                reader.StartWatchingReaders()
                Check(context.PumpUntil(Function() seen.Count >= 1, TimeSpan.FromSeconds(5)), "the reader announced again")
                Equal("added SIM1", String.Join(", ", seen), "the second watching's announcement")
            End Using
        Finally
            SynchronizationContext.SetSynchronizationContext(Nothing)
            SetOptIn("plug_and_play", False)
        End Try
    End Sub

    ' The error pairs the library makes of the test plug-in's driver status, one status call per
    ' cycle: a card or device error becomes the library's code with the detail the plug-in wrote
    ' (0 when it wrote none), a failed status call posts the plug-in's own pair unchanged, a state
    ' code that is no state the library's driver status error. The last step repeats: its pair
    ' comes once.
    Private Sub ReaderErrorsCarryThePair()
        Dim cases = {
            New StatusCase(StatusDeviceError Or (2UI << DeviceErrorShift), 1, 0, &H1234UI, &H80C00072UI, &H1234UI, "KORVAT_NFC_E_DEVICE_ERROR_2"),
            New StatusCase(StatusCardError Or (1UI << CardErrorShift), 1, 0, 0, &H80C00051UI, 0, "KORVAT_NFC_E_CARD_ERROR_1"),
            New StatusCase(StatusCardError Or (2UI << CardErrorShift), 1, 0, 0, &H80C00052UI, 0, "KORVAT_NFC_E_CARD_ERROR_2"),
            New StatusCase(StatusDeviceError Or (5UI << DeviceErrorShift), 1, 0, 0, &H80C00075UI, 0, "KORVAT_NFC_E_DEVICE_ERROR_5"),
            New StatusCase(StatusDeviceError Or (9UI << DeviceErrorShift), 1, 0, 7, &H80C00076UI, 7, "KORVAT_NFC_E_DEVICE_ERROR_OTHER"),
            New StatusCase(3, 1, 0, 0, &H80C00014UI, 0, "KORVAT_NFC_E_DRIVER_STATUS"),
            New StatusCase(StatusIdle, 0, &HE0000005UI, &H77UI, &HE0000005UI, &H77UI, Nothing)
        }
        Dim expected = String.Join(", ", cases.Select(Function(c) $"{c.Code:X8}/{c.Detail:X8}/{If(c.Name, "-")}/main"))
        Dim seen As New List(Of String)
        Dim first As ReaderErrorEventArgs = Nothing
        Dim context As New PumpedContext()
        Dim main = Thread.CurrentThread
        UseFixturePort()
        SynchronizationContext.SetSynchronizationContext(context)
        Try
            Using reader As New NfcReader()
                AddHandler reader.ReaderError,
                    Sub(s, e)
                        If first Is Nothing Then first = e
                        seen.Add($"{e.Code:X8}/{e.Detail:X8}/{If(e.ErrorName, "-")}/{If(Thread.CurrentThread Is main, "main", "other")}")
                    End Sub
                Dim fixture As New FixtureControl(FixtureFileName)
                fixture.Reset()
                For Each c In cases
                    fixture.PushStatus(c.Status, 0, 0, IntPtr.Zero, 0, c.Result, c.PluginCode, c.PluginDetail)
                Next
                Equal("FIX0", reader.Open(), "the fixture's port opened by the empty name")
                reader.StartPolling()
                context.PumpUntil(Function() seen.Count >= cases.Length, Bound)
                ' Two cycles more of the last, repeating step: no event of it again.
                context.PumpUntil(Function() False, TimeSpan.FromMilliseconds(1500))
                Equal(expected, String.Join(", ", seen), "the pairs raised, in order, on the context's thread")
                Dim failure = first.ToException()
                Equal("polling failed: KORVAT_NFC_E_DEVICE_ERROR_2 (0x80C00072), detail 0x00001234", failure.Message, "the first pair as an exception")
            End Using
        Finally
            SynchronizationContext.SetSynchronizationContext(Nothing)
            Configure()
        End Try
    End Sub

    Private Sub AwaitableRoadReadsNdef()
        UseScenario(String.Format(CardF, 0, 60000))
        Using reader As New NfcReader()
            reader.Open("SIM0")
            reader.StartPolling(TargetKinds.Iso18092At212 Or TargetKinds.Iso18092At424)
            Dim target = Await(reader.WaitForTargetAsync())
            Check(TypeOf target Is Target18092, $"an 18092 target: {target}")
            Await(reader.AccessAsync(target))
            Dim info = NfcTags.Identify(target)
            Dim again = reader.WaitForTargetAsync()
            reader.StopDeviceAccess(findAgain:=True)
            Dim found = Await(again)
            Check(found.TargetNumber > target.TargetNumber, "found again with a new number")
            Dim message = Await(reader.ReadNdefAsync(found))
            Equal("Text [en] Hello at 212 kbit/s|URI tel:+358401234567", String.Join("|", message.Records), "the message's records")
            Equal(3, info.TagType, "tag type")
            Equal(CUInt(message.ToByteArray().Length), info.MessageSize, "message size identified")
        End Using
    End Sub

    Private Sub EarlierTargetIsNotMissed()
        UseScenario(String.Format(CardA, 0, 60000))
        Using reader As New NfcReader()
            Dim found As New ManualResetEventSlim()
            AddHandler reader.TargetFound, Sub(s, e) found.Set()
            reader.Open()
            reader.StartPolling(TargetKinds.Iso14443A)
            Check(found.Wait(Bound), "the card was found")
            Dim target = Await(reader.WaitForTargetAsync())
            Equal("045A3C912B6E80", Hex(DirectCast(target, Target14443A).Nfcid1), "the target found before the wait")
            Dim none = reader.WaitForTargetAsync()
            Check(Not none.Wait(TimeSpan.FromMilliseconds(1500)), "a second wait gets no target twice")
        End Using
    End Sub

    Private Sub WaitIsCancelled()
        UseScenario(String.Format(CardA, 60000, 70000))
        Using reader As New NfcReader(), cancellation As New CancellationTokenSource(TimeSpan.FromMilliseconds(1500))
            reader.Open()
            reader.StartPolling()
            Dim wait = reader.WaitForTargetAsync(cancellation.Token)
            Try
                wait.Wait(Bound)
            Catch e As AggregateException
            End Try
            Check(wait.IsCanceled, $"the wait is cancelled, not {wait.Status}")
        End Using
    End Sub

    Private Sub ThruAnswers()
        UseScenario(String.Format(CardA, 0, 60000))
        Dim log = Path.Combine(workDirectory, "thru.log")
        File.Delete(log)
        Using reader As New NfcReader()
            reader.Open()
            Equal(6000, reader.Timeout, "time-out after open")
            reader.Timeout = 2500
            Equal(2500, reader.Timeout, "time-out set")
            reader.StartLogging(log)
            reader.StartPolling(TargetKinds.Iso14443A)
            Dim target = Await(reader.WaitForTargetAsync())
            Await(reader.AccessAsync(target))
            Dim cases = New String()() {
                New String() {"00A4040007D276000085010100", "9000"},  ' SELECT of the NDEF application
                New String() {"00A4040007A00000000000FF00", "6A82"},  ' SELECT of an application the tag lacks
                New String() {"00A4000C02E103", "9000"},              ' SELECT of the capability container
                New String() {"00B0000002", "000F9000"}               ' READ BINARY of its length
            }
            For Each c In cases
                Equal(c(1), Hex(reader.Thru(Bytes(c(0)))), $"answer to {c(0)}")
            Next
            Dim cc = reader.Thru(Bytes("00B000000F"))
            Equal(17, cc.Length, "capability container and status word")
            Equal("0080", Hex(cc.Skip(3).Take(2).ToArray()), "MLe of the capability container")
            reader.StopDeviceAccess()
            reader.StopLogging()
        End Using
        Dim text = File.ReadAllText(log)
        Check(text.Contains("korvatlib_nfc_thru") AndAlso text.Contains("korvatlib_nfc_start_dev_access"), "the normal log traces the calls")
    End Sub

    Private Sub ErrorsMapToExceptions()
        UseScenario(String.Format(CardA, 0, 60000))
        Using reader As New NfcReader()
            ExpectFailure("open of a port of no category", Sub() reader.Open("COM1"),
                          &H80C00007UI, 0UI, "KORVAT_NFC_E_UNSUPPORTED_CATEGORY", "korvatlib_nfc_open")
            ExpectFailure("poll mode without an open port", Sub() reader.StartPolling(),
                          &H80C0000DUI, 0UI, "KORVAT_NFC_E_PORT_NOT_OPEN", "korvatlib_nfc_start_poll_mode")
            ExpectFailure("a second reader while one is alive", Sub() Call New NfcReader().Dispose(),
                          &H80C00012UI, 0UI, "KORVAT_NFC_E_ALREADY_INITIALIZED", "korvatlib_nfc_initialize")
            ExpectFailure("a relative log file name", Sub() reader.StartLogging("relative.log"),
                          &H80C00102UI, 0UI, "KORVAT_NFC_E_LOG_RELATIVE_PATH", "korvatlib_nfc_start_logging")
            reader.Open()
            ExpectFailure("Thru without access: the plug-in's own pair, no name", Sub() reader.Thru({&H0}),
                          &HE053000AUI, 0UI, Nothing, "korvatlib_nfc_thru")
            reader.StartPolling(TargetKinds.Iso14443A)
            Dim target = Await(reader.WaitForTargetAsync())
            Await(reader.AccessAsync(target))
            ExpectFailure("a write to a read-only tag", Sub() NfcTags.WriteNdef(target, New NdefMessage(New UriRecord("https://example.org/"))),
                          &H80C00204UI, 0UI, "KORVAT_TAGS_E_READ_ONLY", "korvatlib_tags_write_ndef")
            ' The failed second reader left the first one's library initialised: it still works.
            Equal("https://www.example.com/korvat-nfc", DirectCast(NfcTags.ReadNdef(target).Records(0), UriRecord).Uri, "read after the failures")
        End Using
    End Sub

    Private Sub NdefWrittenReadsBack()
        UseScenario(String.Format(CardB, 0, 60000, "writable ndef_size=512"))
        Dim written As New NdefMessage(New UriRecord("https://www.example.com/written"),
                                       New TextRecord("fi", "Hyvää päivää"),
                                       New MimeRecord("application/json", System.Text.Encoding.UTF8.GetBytes("{""a"":1}")))
        Using reader As New NfcReader()
            reader.Open()
            reader.StartPolling(TargetKinds.Iso14443B)
            Dim target = Await(reader.WaitForTargetAsync())
            Await(reader.AccessAsync(target))
            Dim before = NfcTags.Identify(target)
            Check(before.Writable AndAlso before.NdefPresent, $"a writable NDEF tag: {before}")
            NfcTags.WriteNdef(target, written)
            Dim read = NfcTags.ReadNdef(target)
            reader.StopDeviceAccess()
            Equal(Hex(written.ToByteArray()), Hex(read.ToByteArray()), "bytes read back")
            Check(written.Records.SequenceEqual(read.Records), "records read back")
            Equal("Text [fi] Hyvää päivää", read.Records(1).ToString(), "the text record as .NET type")
            Equal("application/json", DirectCast(read.Records(2), MimeRecord).MimeType, "the MIME record as .NET type")
        End Using
    End Sub

    Private Sub NdefCodecAgreesWithTagLibrary()
        NativeLibraryResolver.EnsureLoaded()
        Dim uris = {"https://www.example.com/korvat-nfc", "tel:+358401234567", "urn:nfc:ext:example", "mailto:a@b.c", "custom:thing"}
        For Each uri In uris
            Dim native = NativeMessage(Function(buffer As Byte(), ByRef size As UInteger) TagsNative.korvatlib_tags_ndef_add_uri(buffer, CUInt(buffer.Length), size, Z(uri)))
            Equal(Hex(native), Hex(New NdefMessage(New UriRecord(uri)).ToByteArray()), $"URI {uri} built alike")
            Dim back(255) As Byte
            Dim backSize As UInteger
            Check(TagsNative.korvatlib_tags_ndef_get_uri(native, CUInt(native.Length), 0, back, CUInt(back.Length), backSize), "native get_uri")
            Equal(uri, System.Text.Encoding.UTF8.GetString(back, 0, CInt(backSize)), $"URI {uri} read back natively")
            Equal(uri, DirectCast(NdefMessage.Parse(native).Records(0), UriRecord).Uri, $"URI {uri} read alike")
        Next
        Dim texts = {({"en", "Hello"}), ({"pt-BR", "Olá, mundo"}), ({"ja", "こんにちは"})}
        For Each t In texts
            Dim native = NativeMessage(Function(buffer As Byte(), ByRef size As UInteger) TagsNative.korvatlib_tags_ndef_add_text(buffer, CUInt(buffer.Length), size, Z(t(0)), Z(t(1))))
            Equal(Hex(native), Hex(New NdefMessage(New TextRecord(t(0), t(1))).ToByteArray()), $"text {t(1)} built alike")
        Next
        Dim payload = Enumerable.Range(0, 300).Select(Function(i) CByte(i Mod 256)).ToArray()
        Dim mime = NativeMessage(Function(buffer As Byte(), ByRef size As UInteger) TagsNative.korvatlib_tags_ndef_add_mime(buffer, CUInt(buffer.Length), size, Z("application/octet-stream"), payload, CUInt(payload.Length)))
        Equal(Hex(mime), Hex(New NdefMessage(New MimeRecord("application/octet-stream", payload)).ToByteArray()), "a long MIME record built alike")
        ' A message of several records built here is walked by the tag library as the same records.
        Dim message = New NdefMessage(New TextRecord("de", "Grüße"), New UriRecord("https://example.org/x"), New MimeRecord("text/plain", {&H41, &H42}))
        Dim bytes = message.ToByteArray()
        Dim count As UInteger
        Check(TagsNative.korvatlib_tags_ndef_record_count(bytes, CUInt(bytes.Length), count), "native record count")
        Equal(3UI, count, "records the tag library sees")
        Dim record As New NdefRecordRecord()
        Dim data(15) As Byte
        Check(TagsNative.korvatlib_tags_ndef_get_record(bytes, CUInt(bytes.Length), 2, record, data, CUInt(data.Length)), "native get_record")
        Equal("2|text/plain|4142", $"{record.tnf}|{System.Text.Encoding.ASCII.GetString(record.type, 0, record.type_size)}|{Hex(data.Take(CInt(record.payload_size)).ToArray())}", "the MIME record natively")
    End Sub

    Private Sub DisposeFromAnotherThread()
        UseScenario(String.Format(CardA, 60000, 70000))
        Dim reader As New NfcReader()
        reader.Open()
        reader.StartPolling()
        Dim wait = reader.WaitForTargetAsync()
        Thread.Sleep(1500)  ' a few poll cycles
        Dim clock = Stopwatch.StartNew()
        Dim disposing = Task.Run(Sub() reader.Dispose())
        Check(disposing.Wait(DisposeBound), $"Dispose returned within {DisposeBound.TotalSeconds} s")
        Console.WriteLine($"     Dispose from another thread while polling: {clock.Elapsed.TotalMilliseconds:0} ms")
        Try
            wait.Wait(DisposeBound)
        Catch e As AggregateException
        End Try
        Check(wait.IsFaulted AndAlso TypeOf wait.Exception.InnerException Is ObjectDisposedException, $"the pending wait failed as disposed: {wait.Status}")
        reader.Dispose()
        Dim afterDispose As Exception = Nothing
        Try
            reader.Open()
        Catch e As ObjectDisposedException
            afterDispose = e
        End Try
        Check(afterDispose IsNot Nothing, "a disposed reader refuses calls")
        ' The library was closed and uninitialised: a new reader starts from the beginning.
        Using again As New NfcReader()
            Equal("SIM0", again.Open(), "a new reader opens the port")
        End Using
    End Sub

    Private Sub DisposeFromAHandler()
        UseScenario(String.Format(CardA, 0, 60000))
        Dim returned As New ManualResetEventSlim()
        Dim reader As New NfcReader()
        AddHandler reader.TargetFound,
            Sub(s, e)
                reader.Dispose()
                returned.Set()
            End Sub
        reader.Open()
        reader.StartPolling()
        Check(returned.Wait(Bound), "Dispose in the handler returned")
        Check(Not reader.IsPolling, "polling stopped")
        Using again As New NfcReader()
            again.Open()
        End Using
    End Sub

    ' A form's Async Sub handler of a find event that was posted before the form closed would run
    ' after Dispose and use the disposed reader: events posted before Dispose are dropped.
    Private Sub PostedEventsDoNotRunAfterDispose()
        UseScenario(String.Format(CardA, 0, 60000))
        Dim context As New PumpedContext()
        Dim ran As New List(Of String)
        SynchronizationContext.SetSynchronizationContext(context)
        Try
            Dim reader As New NfcReader()
            AddHandler reader.TargetFound, Sub(s, e) ran.Add("TargetFound")
            AddHandler reader.AccessChanged, Sub(s, e) ran.Add($"AccessChanged {e.Access}")
            reader.Open()
            reader.StartPolling(TargetKinds.Iso14443A)
            Check(SpinWait.SpinUntil(Function() context.Count >= 2, Bound), $"the find and enable events were posted: {context.Count}")
            reader.Dispose()
            Dim posted = context.Count
            Check(context.PumpUntil(Function() context.Count = 0, Bound), "the context's queue pumped")
            Equal("", String.Join(", ", ran), $"handlers run of the {posted} events posted before Dispose")
        Finally
            SynchronizationContext.SetSynchronizationContext(Nothing)
        End Try
    End Sub

    ' On the worker thread: while a TargetFound handler blocks, the target's enable events queue up
    ' behind it; Dispose waits for that handler, drops the queue and stops the library after it.
    Private Sub QueuedEventsAreDroppedAtDispose()
        UseScenario(String.Format(CardA, 0, 60000))
        Dim entered As New ManualResetEventSlim(), release As New ManualResetEventSlim()
        Dim disposing As Integer = 0
        Dim late As New ConcurrentQueue(Of String)
        Dim reader As New NfcReader()
        AddHandler reader.TargetFound,
            Sub(s, e)
                entered.Set()
                release.Wait(Bound)
                If Volatile.Read(disposing) <> 0 Then late.Enqueue($"the end of TargetFound, polling {reader.IsPolling}")
            End Sub
        AddHandler reader.AccessChanged,
            Sub(s, e)
                If Volatile.Read(disposing) <> 0 Then late.Enqueue($"AccessChanged {e.Access}")
            End Sub
        reader.Open()
        reader.StartPolling(TargetKinds.Iso14443A)
        Dim target = Await(reader.WaitForTargetAsync())
        Check(entered.Wait(Bound), "the find event's handler runs")
        ' The enable message arrives (the access completes on the message window's thread) while the
        ' handler blocks: its events wait in the queue.
        Await(reader.AccessAsync(target))
        Thread.Sleep(200)
        Volatile.Write(disposing, 1)
        Dim releaser = Task.Run(Sub()
                                    Thread.Sleep(500)
                                    release.Set()
                                End Sub)
        Dim clock = Stopwatch.StartNew()
        reader.Dispose()
        Console.WriteLine($"     Dispose while a handler ran 500 ms more: {clock.Elapsed.TotalMilliseconds:0} ms")
        Check(release.IsSet, "Dispose returned only after the running handler")
        Await(releaser)
        Thread.Sleep(300)  ' the worker thread's chance to run what it should not
        Equal("the end of TargetFound, polling True", String.Join(", ", late), "what ran after Dispose began")
    End Sub

    ' A handler that throws, on the worker thread and on the context's: HandlerFailed gets the
    ' exception and the event's name on the handler's thread, the event's next handler runs, and
    ' the events after it come as before.
    Private Sub HandlerExceptionsAreReported()
        For Each onContext In {False, True}
            UseScenario(String.Format(CardA, 0, 60000))
            Dim context = If(onContext, New PumpedContext(), Nothing)
            Dim where = If(onContext, "context", "worker")
            Dim steps As New ConcurrentQueue(Of String)
            Dim failures As New ConcurrentQueue(Of String)
            Dim waitFor = Function(condition As Func(Of Boolean)) If(context IsNot Nothing, context.PumpUntil(condition, Bound), SpinWait.SpinUntil(condition, Bound))
            SynchronizationContext.SetSynchronizationContext(context)
            Try
                Using reader As New NfcReader()
                    Dim handlerThread As Thread = Nothing
                    AddHandler reader.TargetFound,
                        Sub(s, e)
                            handlerThread = Thread.CurrentThread
                            Throw New InvalidOperationException("thrown by a TargetFound handler")
                        End Sub
                    AddHandler reader.TargetFound, Sub(s, e) steps.Enqueue("the next TargetFound handler")
                    AddHandler reader.AccessChanged,
                        Sub(s, e)
                            steps.Enqueue($"AccessChanged {e.Access}")
                            If e.Access = TargetAccess.Waiting Then Throw New ApplicationException("thrown by an AccessChanged handler")
                        End Sub
                    AddHandler reader.HandlerFailed,
                        Sub(s, e) failures.Enqueue($"{e.EventName}: {e.Exception.Message}{If(Thread.CurrentThread Is handlerThread, "", " (on another thread)")}")
                    reader.Open()
                    reader.StartPolling(TargetKinds.Iso14443A)
                    Dim target = Await(reader.WaitForTargetAsync())
                    Check(waitFor(Function() failures.Count >= 2), $"{where}: two failures reported: {String.Join(", ", failures)}")
                    Await(reader.AccessAsync(target))
                    Check(waitFor(Function() steps.Count >= 3), $"{where}: the events after the failures: {String.Join(", ", steps)}")
                    reader.StopDeviceAccess()
                End Using
            Finally
                SynchronizationContext.SetSynchronizationContext(Nothing)
            End Try
            Equal("TargetFound: thrown by a TargetFound handler, AccessChanged: thrown by an AccessChanged handler",
                  String.Join(", ", failures), $"{where}: the failures reported, on the handlers' thread")
            Equal("the next TargetFound handler, AccessChanged Waiting, AccessChanged Enabled", String.Join(", ", steps), $"{where}: the handlers run")
        Next
    End Sub

    ' Every failure of the async calls is their task's, none is thrown by the call: a closed port
    ' (the library's refusal), a null target, a disposed reader.
    Private Sub AsyncCallsFailTheirTask()
        UseScenario(String.Format(CardA, 0, 60000))
        Dim reader As New NfcReader()
        reader.Open()
        reader.StartPolling(TargetKinds.Iso14443A)
        Dim target = Await(reader.WaitForTargetAsync())
        reader.Close()
        Dim refused = FailsItsTask(Of NfcException)("AccessAsync with the port closed", Function() reader.AccessAsync(target))
        Equal("KORVAT_NFC_E_PORT_NOT_OPEN", refused.ErrorName, "the library's refusal")
        FailsItsTask(Of ArgumentNullException)("AccessAsync(Nothing)", Function() reader.AccessAsync(Nothing))
        reader.Dispose()
        FailsItsTask(Of ObjectDisposedException)("WaitForTargetAsync after Dispose", Function() reader.WaitForTargetAsync())
        FailsItsTask(Of ObjectDisposedException)("AccessAsync after Dispose", Function() reader.AccessAsync(target))
        FailsItsTask(Of ObjectDisposedException)("ReadNdefAsync after Dispose", Function() reader.ReadNdefAsync(target))
    End Sub

    ' Figures, no verdict: Thru through the binding (its response buffer reused), and the raw layer
    ' with a 64 KiB response array made for each call as Thru once did, on the simulator.
    Private Sub ThruBenchmark()
        Const Calls As Integer = 20000
        UseScenario(String.Format(CardA, 0, 600000))
        Using reader As New NfcReader()
            reader.Open()
            reader.StartPolling(TargetKinds.Iso14443A)
            Dim target = Await(reader.WaitForTargetAsync())
            Await(reader.AccessAsync(target))
            Dim command = Bytes("00A4040007D276000085010100")   ' SELECT of the NDEF application: 90 00
            Dim binding As Func(Of Byte()) = Function() reader.Thru(command)
            Dim perCallArray As Func(Of Byte()) =
                Function()
                    Dim response(65534) As Byte
                    Dim length As UShort
                    If Not NfcNative.korvatlib_nfc_thru(command, CUShort(command.Length), response, length) Then Throw New Exception("thru failed")
                    Array.Resize(response, length)
                    Return response
                End Function
            For Each way In {("NfcReader.Thru", binding), ("a 64 KiB array per call (raw layer)", perCallArray)}
                For i = 1 To 1000   ' warm-up
                    way.Item2()
                Next
                Dim ticks(Calls - 1) As Long
                Dim wrong = 0
                Dim collections = GC.CollectionCount(0)
                Dim allocated = GC.GetAllocatedBytesForCurrentThread()
                For i = 0 To Calls - 1
                    Dim start = Stopwatch.GetTimestamp()
                    Dim answer = way.Item2()
                    ticks(i) = Stopwatch.GetTimestamp() - start
                    If answer.Length <> 2 OrElse answer(0) <> &H90 OrElse answer(1) <> 0 Then wrong += 1
                Next
                allocated = GC.GetAllocatedBytesForCurrentThread() - allocated
                collections = GC.CollectionCount(0) - collections
                Array.Sort(ticks)
                Dim micro = Function(q As Double) ticks(Math.Min(Calls - 1, CInt(Math.Floor(q * Calls)))) * 1000000.0 / Stopwatch.Frequency
                Console.WriteLine($"     {way.Item1}: {Calls} calls, {collections} gen-0 collections, {allocated \ Calls} bytes allocated per call; " &
                                  $"p50 {micro(0.5):0.00} us, p90 {micro(0.9):0.00} us, p99 {micro(0.99):0.00} us, max {micro(1):0.0} us")
                Equal(0, wrong, $"{way.Item1}: answers other than 90 00")
            Next
            reader.StopDeviceAccess()
        End Using
    End Sub

    Private Sub CollectionsWhilePolling()
        UseScenario(String.Format(CardA, 0, 1300) & String.Format(CardB, 1300, 2600, "") & "repeat 2600" & vbLf)
        Dim found As New ConcurrentQueue(Of Target)
        Dim stopPressure As New CancellationTokenSource()
        Dim collections As Integer = 0
        Dim pressure = Task.Run(
            Sub()
                While Not stopPressure.IsCancellationRequested
                    Dim garbage = Enumerable.Range(0, 2000).Select(Function(i) New Byte(63) {}).ToList()
                    GC.Collect(2, GCCollectionMode.Forced, True, True)
                    GC.WaitForPendingFinalizers()
                    Interlocked.Increment(collections)
                End While
            End Sub)
        Using reader As New NfcReader()
            AddHandler reader.TargetFound, Sub(s, e) found.Enqueue(e.Target)
            reader.Open()
            reader.StartPolling(TargetKinds.Iso14443A Or TargetKinds.Iso14443B)
            Thread.Sleep(TimeSpan.FromSeconds(8))
        End Using
        stopPressure.Cancel()
        Check(pressure.Wait(Bound), "the collecting thread ended")
        Console.WriteLine($"     {collections} forced full collections while polling; {found.Count} targets found")
        Check(found.Count >= 3, $"targets kept coming while collecting: {found.Count}")
        Dim last As UInteger = 0
        For Each t In found
            Check(t.TargetNumber > last, "target numbers rise")
            last = t.TargetNumber
            Select Case t.Kind
                Case TargetKinds.Iso14443A : Equal("045A3C912B6E80", Hex(DirectCast(t, Target14443A).Nfcid1), "NFCID1 under collections")
                Case TargetKinds.Iso14443B : Equal("501A2B3C4D0000000000718F", Hex(DirectCast(t, Target14443B).Atqb), "ATQB under collections")
                Case Else : Check(False, $"an unexpected target {t}")
            End Select
        Next
    End Sub

    ' ---------------------------------------------------------------- helpers

    ' The simulator's configuration for this process's architecture (the 64-bit registry view for x64).
    Private Sub Configure()
        Using key = Registry.LocalMachine.CreateSubKey("SOFTWARE\Ravo Corporation\Korvat NFC Library")
            key.SetValue("plugins_home_directory", NativeLibraryResolver.PluginDirectory)
            key.SetValue("category_name_list", "SIM")
            key.SetValue("port_name_list", "SIM0")
        End Using
    End Sub

    ' The test plug-in (published beside the program, outside the package) as the only plug-in,
    ' its category FIX at position 0 as the variant reports, its port FIX0. Configure() restores
    ' the simulator's configuration.
    Private Const FixtureFileName As String = "reader_fixture.gp"

    Private Sub UseFixturePort()
        Dim directory = Path.Combine(AppContext.BaseDirectory, "fixture_plugins")
        Check(File.Exists(Path.Combine(directory, FixtureFileName)), $"the test plug-in is in {directory}")
        Using key = Registry.LocalMachine.CreateSubKey("SOFTWARE\Ravo Corporation\Korvat NFC Library")
            key.SetValue("plugins_home_directory", directory)
            key.SetValue("category_name_list", "FIX")
            key.SetValue("port_name_list", "FIX0")
        End Using
    End Sub

    ' An opt-in value of the library's key: a REG_DWORD 1, or no value (the default).
    Private Sub SetOptIn(name As String, enabled As Boolean)
        Using key = Registry.LocalMachine.CreateSubKey("SOFTWARE\Ravo Corporation\Korvat NFC Library")
            If enabled Then
                key.SetValue(name, 1, RegistryValueKind.DWord)
            Else
                key.DeleteValue(name, False)
            End If
        End Using
    End Sub

    ' The scenario the simulator reads at the next open.
    Private Sub UseScenario(text As String)
        Dim file = Path.Combine(workDirectory, "test.scenario")
        IO.File.WriteAllText(file, text)
        Using key = Registry.LocalMachine.CreateSubKey("SOFTWARE\Ravo Corporation\Korvat NFC Library")
            key.SetValue("sim_scenario_file", file)
        End Using
    End Sub

    Private Sub ExpectFailure(what As String, action As Action, code As UInteger, detail As UInteger, name As String, operation As String)
        Try
            action()
        Catch e As NfcException
            Equal(code, e.Code, $"{what}: code")
            Equal(detail, e.Detail, $"{what}: detail")
            Equal(name, e.ErrorName, $"{what}: name")
            Equal(operation, e.Operation, $"{what}: operation")
            Check(e.Message.StartsWith($"{operation} failed: {If(name, "error")} (0x{code:X8})"), $"{what}: message {e.Message}")
            Return
        End Try
        Throw New Exception($"{what}: no NfcException")
    End Sub

    Private Delegate Function AddRecord(buffer As Byte(), ByRef size As UInteger) As Boolean

    ' A message of one record built by the tag library.
    Private Function NativeMessage(add As AddRecord) As Byte()
        Dim buffer(1023) As Byte
        Dim size As UInteger = 0
        Check(add(buffer, size), "the tag library builds the record")
        Return buffer.Take(CInt(size)).ToArray()
    End Function

    Private Function Await(Of T)(task As Task(Of T)) As T
        Check(task.Wait(Bound), $"done within {Bound.TotalSeconds} s")
        Return task.Result
    End Function

    Private Sub Await(task As Task)
        Check(task.Wait(Bound), $"done within {Bound.TotalSeconds} s")
    End Sub

    ' The call returns a task (it throws nothing itself) that fails with a T; the T.
    Private Function FailsItsTask(Of T As Exception)(what As String, makeCall As Func(Of Task)) As T
        Dim task As Task = Nothing
        Try
            task = makeCall()
        Catch e As Exception
            Throw New Exception($"{what}: the call threw {e.GetType().Name} instead of failing its task")
        End Try
        Try
            task.Wait(Bound)
        Catch e As AggregateException
        End Try
        Check(task.IsFaulted, $"{what}: the task failed, not {task.Status}")
        Dim failure = TryCast(task.Exception.InnerException, T)
        Check(failure IsNot Nothing, $"{what}: the task failed with {task.Exception.InnerException.GetType().Name}, not {GetType(T).Name}")
        Return failure
    End Function

    Private Function Pair(name As String, test As Action) As KeyValuePair(Of String, Action)
        Return New KeyValuePair(Of String, Action)(name, test)
    End Function

    Private Sub Run(name As String, test As Action)
        Dim clock = Stopwatch.StartNew()
        Try
            test()
            passed += 1
            Console.WriteLine($"PASS {name} ({clock.Elapsed.TotalSeconds:0.0} s)")
        Catch e As Exception
            failed += 1
            Console.WriteLine($"FAIL {name}: {e}")
        End Try
    End Sub

    Private Sub Check(condition As Boolean, what As String)
        If Not condition Then Throw New Exception("check failed: " & what)
    End Sub

    Private Sub Equal(Of T)(expected As T, actual As T, what As String)
        If Not EqualityComparer(Of T).Default.Equals(expected, actual) Then
            Throw New Exception($"{what}: expected {If(expected Is Nothing, "Nothing", expected.ToString())}, got {If(actual Is Nothing, "Nothing", actual.ToString())}")
        End If
    End Sub

    Private Function Hex(data As Byte()) As String
        Return BitConverter.ToString(data).Replace("-", "")
    End Function

    Private Function Bytes(text As String) As Byte()
        Return Enumerable.Range(0, text.Length \ 2).Select(Function(i) Convert.ToByte(text.Substring(i * 2, 2), 16)).ToArray()
    End Function

    ' A NUL-terminated UTF-8 string for the tag library.
    Private Function Z(text As String) As Byte()
        Return System.Text.Encoding.UTF8.GetBytes(text & ChrW(0))
    End Function
End Module

' A SynchronizationContext like a form's: Post queues, and the owning thread runs the queue.
Friend NotInheritable Class PumpedContext
    Inherits SynchronizationContext

    Private ReadOnly queue As New BlockingCollection(Of Action)

    ' The posts waiting to be pumped.
    Public ReadOnly Property Count As Integer
        Get
            Return queue.Count
        End Get
    End Property

    Public Overrides Sub Post(d As SendOrPostCallback, state As Object)
        queue.Add(Sub() d(state))
    End Sub

    Public Function PumpUntil(condition As Func(Of Boolean), bound As TimeSpan) As Boolean
        Dim clock = Stopwatch.StartNew()
        While Not condition()
            Dim remaining = bound - clock.Elapsed
            If remaining <= TimeSpan.Zero Then Return False
            Dim work As Action = Nothing
            If queue.TryTake(work, remaining) Then work()
        End While
        Return True
    End Function
End Class

' One step of the test plug-in's status script and the pair the library posts for it.
Friend NotInheritable Class StatusCase
    Public ReadOnly Status As UInteger, Result As Integer, PluginCode As UInteger, PluginDetail As UInteger
    Public ReadOnly Code As UInteger, Detail As UInteger, Name As String

    Public Sub New(status As UInteger, result As Integer, pluginCode As UInteger, pluginDetail As UInteger,
                   code As UInteger, detail As UInteger, name As String)
        Me.Status = status
        Me.Result = result
        Me.PluginCode = pluginCode
        Me.PluginDetail = pluginDetail
        Me.Code = code
        Me.Detail = detail
        Me.Name = name
    End Sub
End Class

' The test plug-in's control functions, taken from the module the library has loaded (by its file
' name); valid while the library keeps it loaded.
Friend NotInheritable Class FixtureControl
    <UnmanagedFunctionPointer(CallingConvention.Cdecl)>
    Private Delegate Sub ResetFunction()
    <UnmanagedFunctionPointer(CallingConvention.Cdecl)>
    Private Delegate Sub PushStatusFunction(status As UInteger, pollType As UInteger, listenType As UInteger, data As IntPtr,
                                            size As UInteger, result As Integer, code As UInteger, detail As UInteger)

    <DllImport("kernel32", CharSet:=CharSet.Unicode, ExactSpelling:=True)>
    Private Shared Function GetModuleHandleW(name As String) As IntPtr
    End Function
    <DllImport("kernel32", CharSet:=CharSet.Ansi, ExactSpelling:=True, BestFitMapping:=False)>
    Private Shared Function GetProcAddress(moduleHandle As IntPtr, name As String) As IntPtr
    End Function

    Private ReadOnly _reset As ResetFunction
    Private ReadOnly _pushStatus As PushStatusFunction

    Public Sub New(fileName As String)
        Dim handle = GetModuleHandleW(fileName)
        If handle = IntPtr.Zero Then Throw New Exception($"the library has not loaded {fileName}")
        _reset = Bind(Of ResetFunction)(handle, "fixture_reset")
        _pushStatus = Bind(Of PushStatusFunction)(handle, "fixture_push_status")
    End Sub

    ' Back to the defaults: an empty status script (idle), every entry point answering true.
    Public Sub Reset()
        _reset()
    End Sub

    ' Appends a step to the status script (see fixture_control.h).
    Public Sub PushStatus(status As UInteger, pollType As UInteger, listenType As UInteger, data As IntPtr, size As UInteger,
                          result As Integer, code As UInteger, detail As UInteger)
        _pushStatus(status, pollType, listenType, data, size, result, code, detail)
    End Sub

    Private Shared Function Bind(Of T As Class)(handle As IntPtr, name As String) As T
        Dim address = GetProcAddress(handle, name)
        If address = IntPtr.Zero Then Throw New Exception($"the test plug-in lacks {name}")
        Return Marshal.GetDelegateForFunctionPointer(Of T)(address)
    End Function
End Class
