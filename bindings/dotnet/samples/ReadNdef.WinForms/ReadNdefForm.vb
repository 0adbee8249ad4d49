' A form that lists the cards that come and the NDEF message of each. The reader is made on the
' form's thread, so its events arrive on that thread and may touch the controls directly.
Imports System.Windows.Forms
Imports Korvat.Nfc

Public Class ReadNdefForm
    Inherits Form

    Private ReadOnly log As New ListBox With {.Dock = DockStyle.Fill}
    Private reader As NfcReader

    Public Sub New()
        Text = "Korvat NFC: read NDEF"
        Controls.Add(log)
    End Sub

    Protected Overrides Sub OnLoad(e As EventArgs)
        MyBase.OnLoad(e)
        Try
            reader = New NfcReader()
            AddHandler reader.TargetFound, AddressOf OnTargetFound
            ' What a handler throws before it returns (an Async Sub: before its first Await) comes here.
            AddHandler reader.HandlerFailed, Sub(sender, failed) log.Items.Add($"{failed.EventName} handler: {failed.Exception.Message}")
            log.Items.Add($"port {reader.Open()} is open")
            reader.StartPolling(TargetKinds.All)
        Catch failure As NfcException
            log.Items.Add($"{failure.Operation}: {failure.ErrorName} 0x{failure.Code:X8}")
        End Try
    End Sub

    Private Async Sub OnTargetFound(sender As Object, e As TargetFoundEventArgs)
        log.Items.Add(e.Target.ToString())
        Try
            Dim message = Await reader.ReadNdefAsync(e.Target)    ' back on the form's thread afterwards
            For Each record In message.Records
                log.Items.Add("    " & record.ToString())
            Next
        Catch failure As NfcException
            log.Items.Add($"    {failure.Message}")
        Catch closed As ObjectDisposedException
            ' The form closed (and disposed the reader) while the read waited: nothing to show.
        End Try
    End Sub

    Protected Overrides Sub OnFormClosed(e As FormClosedEventArgs)
        reader?.Dispose()
        MyBase.OnFormClosed(e)
    End Sub

    <STAThread>
    Shared Sub Main()
        Application.EnableVisualStyles()
        Application.Run(New ReadNdefForm())
    End Sub
End Class
