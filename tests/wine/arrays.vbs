' Quellar.DoubleArray and Quellar.ByteArray through late binding, as a script client sees them.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

' What both classes share; 255, 1 and 128 fit either.
Sub CheckArray(progId, name, arrayType)
  Dim a, b, v, i
  Set a = CreateObject(progId)
  Set b = CreateObject(progId)
  Check TypeName(a) = name, "TypeName " & TypeName(a)
  a.count = 3 ' names are case-insensitive
  a.Item(0) = 255 : a(1) = 1 : a(2) = CByte(128)
  Check b.Count = 0 And a.Count = 3 And a.Item(2) = 128, progId & ": each creation a new object"
  ' Wine's engine cannot take the bounds of a typed array; server_probe.cpp checks them.
  v = a.AsVariant
  Check VarType(v) = arrayType And IsArray(v), progId & " AsVariant VarType " & VarType(v)
  b.AsVariant = a.AsVariant
  Check b.Count = 3 And b(0) = 255 And b(1) = 1 And b(2) = 128, progId & " round trip"
  ' Through a variable the script passes the array by reference.
  b.Count = 9
  b.AsVariant = v
  Check b.Count = 3 And b(2) = 128, progId & " round trip through a variable"
  ' Arrays of variants, empty safe arrays and scalars are ignored.
  b.AsVariant = Array(1, 2)
  b.AsVariant = CreateObject(progId).AsVariant
  b.AsVariant = 12
  Check b.Count = 3 And b(0) = 255, progId & " foreign AsVariant ignored, Count " & b.Count
  Set b = CreateObject(progId)
  b.CopyFrom a
  b(0) = 7
  Check b.Count = 3 And b(2) = 128 And a(0) = 255, progId & " CopyFrom copies, does not share"

  ' Failures are script errors with the library's message and source; the contents stay.
  On Error Resume Next
  a.Count = -1
  Check Err.Number = &H80070057 And Err.Description = "Count -1 is negative" And _
    Err.Source = progId, progId & " Count -1: " & Hex(Err.Number) & " [" & Err.Description & "]"
  Err.Clear
  i = a(3)
  Check Err.Number = &H8002000B And Err.Description = "Index 3 is outside the array of 3 items", _
    progId & " Item(3): " & Hex(Err.Number) & " [" & Err.Description & "]"
  Err.Clear
  i = a.NoSuchMember
  Check Err.Number = 438, progId & " unknown member, error " & Err.Number
  Err.Clear
  On Error GoTo 0
  Check a.Count = 3 And a(0) = 255 And a(1) = 1, progId & " contents after failed calls"
End Sub

CheckArray "Quellar.DoubleArray", "IDoubleArray", 8197 ' vbArray + vbDouble
CheckArray "Quellar.ByteArray", "IByteArray", 8209 ' vbArray + vbByte

Dim d, b
Set d = CreateObject("Quellar.DoubleArray")
Set b = CreateObject("Quellar.ByteArray")
d.Count = 2
d(1) = 2.5
b.Count = 1
b(0) = 200
Check d("1") = 2.5 And d.Mean = 1.25, "index coerced from a string, Mean " & d.Mean
Check VarType(b(0)) = vbByte, "Item is a byte, VarType " & VarType(b(0))
' Neither class takes the other's safe arrays.
b.AsVariant = d.AsVariant
d.AsVariant = b.AsVariant
Check b.Count = 1 And d.Count = 2, "foreign element types ignored"
On Error Resume Next
d(0) = "not a number"
Check Err.Number = 13, "Item put of a text, error " & Err.Number
Err.Clear
b(0) = 256
Check Err.Number = 6, "256 is no byte, error " & Err.Number
Err.Clear
b(0) = -1
Check Err.Number = 6, "-1 is no byte, error " & Err.Number
On Error GoTo 0
Check b(0) = 200 And d(1) = 2.5, "contents after failed puts"
If failures = 0 Then WScript.Echo "PASS arrays"
