' Run after regsvr32 /u: no class of the library can be created any more.
Option Explicit
Dim name, o, failures : failures = 0
On Error Resume Next
For Each name In Array("DoubleArray", "ByteArray", "MathProcessor", "Controller")
  Err.Clear
  Set o = CreateObject("Quellar." & name)
  If Err.Number <> 429 Then
    failures = failures + 1
    WScript.Echo "FAIL Quellar." & name & " still creatable, error " & Err.Number
  End If
Next
If failures = 0 Then WScript.Echo "PASS unregistered"
