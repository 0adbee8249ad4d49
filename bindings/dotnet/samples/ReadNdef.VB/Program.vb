' Reads the NDEF message of the first card that comes to the first configured port.
Imports System.Threading
Imports Korvat.Nfc
Imports Korvat.Nfc.Ndef

Module Program
    Function Main() As Integer
        Try
            Using reader As New NfcReader(), timeout As New CancellationTokenSource(TimeSpan.FromSeconds(30))
                Console.WriteLine($"port {reader.Open()} is open, waiting for a card")
                reader.StartPolling(TargetKinds.All)
                Dim target = reader.WaitForTargetAsync(timeout.Token).GetAwaiter().GetResult()
                Console.WriteLine(target)
                Dim message = reader.ReadNdefAsync(target, timeout.Token).GetAwaiter().GetResult()
                For Each record In message.Records
                    Select Case True
                        Case TypeOf record Is UriRecord
                            Console.WriteLine($"  URI:  {DirectCast(record, UriRecord).Uri}")
                        Case TypeOf record Is TextRecord
                            Dim text = DirectCast(record, TextRecord)
                            Console.WriteLine($"  Text: [{text.Language}] {text.Text}")
                        Case Else
                            Console.WriteLine($"  {record}")
                    End Select
                Next
                Return 0
            End Using
        Catch e As NfcException
            Console.WriteLine($"{e.Operation}: {If(e.ErrorName, "error")} 0x{e.Code:X8}, detail 0x{e.Detail:X8}")
        Catch e As OperationCanceledException
            Console.WriteLine("no card came within 30 s")
        End Try
        Return 1
    End Function
End Module
