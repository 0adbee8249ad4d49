// Reads the NDEF message of the first card that comes to the first configured port.
using Korvat.Nfc;
using Korvat.Nfc.Ndef;

try
{
    using var reader = new NfcReader();
    using var timeout = new CancellationTokenSource(TimeSpan.FromSeconds(30));
    Console.WriteLine($"port {reader.Open()} is open, waiting for a card");
    reader.StartPolling(TargetKinds.All);
    Target target = await reader.WaitForTargetAsync(timeout.Token);
    Console.WriteLine(target);
    NdefMessage message = await reader.ReadNdefAsync(target, timeout.Token);
    foreach (NdefRecord record in message.Records)
    {
        Console.WriteLine(record switch
        {
            UriRecord uri => $"  URI:  {uri.Uri}",
            TextRecord text => $"  Text: [{text.Language}] {text.Text}",
            MimeRecord mime => $"  MIME: {mime.MimeType}, {mime.Payload.Length} bytes",
            _ => $"  {record}",
        });
    }
    return 0;
}
catch (NfcException e)
{
    Console.WriteLine($"{e.Operation}: {e.ErrorName ?? "error"} 0x{e.Code:X8}, detail 0x{e.Detail:X8}");
}
catch (OperationCanceledException)
{
    Console.WriteLine("no card came within 30 s");
}
return 1;
