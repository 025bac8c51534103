' Which classes a script client can create by programmatic identifier.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

Dim name, o
' Every creation request makes a new object.
Dim a1, a2
Set a1 = CreateObject("Quellar.DoubleArray")
Set a2 = CreateObject("Quellar.DoubleArray")
a1.Count = 1
Check a2.Count = 0, "two creations give two objects"

' The controller's children are internal: nothing is registered under their names.
On Error Resume Next
For Each name In Array("Compiler", "State", "Manager", "Analysis", "Tuning")
  Err.Clear
  Set o = CreateObject("Quellar." & name)
  Check Err.Number = 429, "Quellar." & name & " created, error " & Err.Number
Next
Err.Clear
On Error GoTo 0

If failures > 0 Then
  WScript.Echo failures & " failure(s)"
  WScript.Quit 1
End If
WScript.Echo "PASS classes"
WScript.Quit 0
