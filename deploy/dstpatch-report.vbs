' The outcome of dstpatch on every machine, from the share folder where
' dstpatch-startup.cmd leaves <COMPUTERNAME>-outcome.txt (beside the console
' output) for each machine. Runs on any Windows with Windows
' Script Host (XP and later; nothing to install).
'
'   cscript //nologo dstpatch-report.vbs FOLDER [/machines:LIST] [/csv:FILE]
'
' Prints one line per machine, with the release that gave its outcome, and
' the totals: done, done after a failure
' (the outcome keeps an earlier failure: a later start found the machine done,
' or a later run did it; by the earlier failure line), failed (by the failure
' line), not done yet (another run was in progress), site change pending,
' not run (by reason) and not reported. LIST, a text file with one machine
' name a line, names the machines that should have reported; without it, a
' machine counts as not reported when the folder holds its console output
' but no outcome. The same goes to FILE as CSV (default:
' dstpatch-report.csv in the current folder), its fields separated by the
' list separator of this machine's user (as Excel reads them: ";" in
' French-Canadian settings; "," where none is set), each field that Excel
' would take for a formula after a '. Reads the folder only.
Option Explicit
'#include dstpatch-common.vbs

Dim separator
separator = ","
On Error Resume Next
separator = shell.RegRead("HKCU\Control Panel\International\sList")
On Error GoTo 0
If VarType(separator) <> vbString Then separator = ","
If Len(separator) <> 1 Or separator = """" Or separator = " " Then separator = ","

' The kinds of outcome, in the order of the totals: the beginning of an
' outcome line, and its name in the report.
Function OutcomeKinds()
    OutcomeKinds = Array("done", "done after a failure", "failed", "not done", "site change pending", "not run", _
        "other", "not reported")
End Function

' What an outcome line holds of an earlier failure that it replaced.
Const EarlierFailureMark = " (earlier: failed: "

Sub Fail(message)
    WScript.Echo "dstpatch-report: " & message
    WScript.Echo "usage: cscript //nologo dstpatch-report.vbs FOLDER [/machines:LIST] [/csv:FILE]"
    WScript.Quit 2
End Sub

Function FirstLine(path)
    Dim stream, text
    FirstLine = ""
    On Error Resume Next
    Set stream = fso.OpenTextFile(path, 1)
    If Err.Number <> 0 Then Exit Function
    text = ""
    If Not stream.AtEndOfStream Then text = stream.ReadAll
    stream.Close
    text = Replace(text, vbCr, vbLf)
    If InStr(text, vbLf) > 0 Then text = Left(text, InStr(text, vbLf) - 1)
    FirstLine = Trim(text)
End Function

' OUTCOME without the release it names (" [dstpatch VERSION]" after the
' outcome itself), which goes to VERSION ("" when it names none).
Function WithoutRelease(outcome, version)
    Dim at, closing
    WithoutRelease = outcome
    version = ""
    at = InStr(outcome, " [dstpatch ")
    If at = 0 Then Exit Function
    closing = InStr(at, outcome, "]")
    If closing = 0 Then Exit Function
    version = Mid(outcome, at + 11, closing - at - 11)
    WithoutRelease = Left(outcome, at - 1) & Mid(outcome, closing + 1)
End Function

' The kind of an outcome line, and in DETAIL what follows it.
Function KindOf(outcome, detail)
    Dim kinds, i
    kinds = OutcomeKinds()
    KindOf = "other"
    detail = outcome
    If outcome = "" Then
        KindOf = "not reported"
        Exit Function
    End If
    If Left(outcome, 4) = "done" And InStr(outcome, EarlierFailureMark) > 0 Then
        KindOf = "done after a failure"
        detail = Trim(Mid(outcome, 5))
        If Left(detail, 1) = ":" Then detail = Trim(Mid(detail, 2))
        Exit Function
    End If
    For i = 0 To UBound(kinds) - 2
        If outcome = kinds(i) Then
            KindOf = kinds(i)
            detail = ""
            Exit Function
        End If
        If Left(outcome, Len(kinds(i)) + 2) = kinds(i) & ": " Then
            KindOf = kinds(i)
            detail = Mid(outcome, Len(kinds(i)) + 3)
            Exit Function
        End If
    Next
End Function

' What a failure is counted under: the failure line it begins with, else its
' text up to the first colon.
Function GroupOf(kind, detail)
    Dim failures, i
    GroupOf = ""
    If kind = "done after a failure" Then
        GroupOf = GroupOf("failed", Mid(detail, InStr(detail, EarlierFailureMark) + Len(EarlierFailureMark)))
        Exit Function
    End If
    If kind = "failed" Then
        failures = FailureLines()
        For i = 0 To UBound(failures)
            If Left(detail, Len(failures(i))) = failures(i) Then
                GroupOf = failures(i)
                Exit Function
            End If
        Next
    End If
    If kind = "failed" Or kind = "not run" Then
        GroupOf = detail
        If InStr(detail, ":") > 0 Then GroupOf = Left(detail, InStr(detail, ":") - 1)
    End If
End Function

' A CSV line of the fields in the array FIELDS.
Function Row(fields)
    Dim i
    Row = CsvField(fields(0))
    For i = 1 To UBound(fields)
        Row = Row & separator & CsvField(fields(i))
    Next
End Function

' A field as Excel reads it as text: a text that begins with =, +, - or @
' would be a formula (one that a share's file name could hold), so it gets a
' ' before it.
Function CsvField(value)
    CsvField = "" & value
    If InStr("=+-@", Left(CsvField, 1)) > 0 And CsvField <> "" Then CsvField = "'" & CsvField
    If InStr(CsvField, separator) > 0 Or InStr(CsvField, """") > 0 Or Trim(CsvField) <> CsvField Then
        CsvField = """" & Replace(CsvField, """", """""") & """"
    End If
End Function

Function Padded(text, width)
    Padded = text
    If Len(text) < width Then Padded = text & Space(width - Len(text))
End Function

Function Count(number)
    Count = Right(Space(6) & number, 6)
End Function

' The names of DICTIONARY in letter order, without regard to case.
Function SortedKeys(dictionary)
    Dim keys, i, j, key
    keys = dictionary.Keys
    For i = 1 To UBound(keys)
        key = keys(i)
        j = i - 1
        Do While j >= 0
            If UCase(keys(j)) <= UCase(key) Then Exit Do
            keys(j + 1) = keys(j)
            j = j - 1
        Loop
        keys(j + 1) = key
    Next
    SortedKeys = keys
End Function

Function NewDictionary()
    Set NewDictionary = CreateObject("Scripting.Dictionary")
    NewDictionary.CompareMode = 1
End Function

Sub Main()
    Dim i, argument, folder, listPath, csvPath, machines, outcomes, file, name, suffixes, j, lines, stream
    Dim names, kind, detail, group, totals, groups, kinds, k, g, text, csv, width, keys, problem, version
    Dim releases, releaseWidth
    For i = 0 To WScript.Arguments.Count - 1
        argument = WScript.Arguments(i)
        If LCase(Left(argument, 10)) = "/machines:" Then
            listPath = Mid(argument, 11)
        ElseIf LCase(Left(argument, 5)) = "/csv:" Then
            csvPath = Mid(argument, 6)
        ElseIf Left(argument, 1) = "/" Or folder <> "" Then
            Fail "unknown argument: " & argument
        Else
            folder = argument
        End If
    Next
    If folder = "" Then Fail "give the folder that holds the outcomes"
    If Not fso.FolderExists(folder) Then Fail "the folder " & folder & " does not exist"
    If csvPath = "" Then csvPath = "dstpatch-report.csv"
    csvPath = fso.GetAbsolutePathName(csvPath)

    ' Every machine named by a file of the folder or by the list, with its
    ' outcome line ("" when it has none).
    Set machines = NewDictionary()
    Set outcomes = NewDictionary()
    suffixes = Array("-outcome.txt", "-console.txt")
    For Each file In fso.GetFolder(folder).Files
        For j = 0 To UBound(suffixes)
            If Len(file.Name) > Len(suffixes(j)) And LCase(Right(file.Name, Len(suffixes(j)))) = LCase(suffixes(j)) Then
                name = Left(file.Name, Len(file.Name) - Len(suffixes(j)))
                If Not machines.Exists(name) Then machines.Add name, ""
                If j = 0 Then outcomes(name) = FirstLine(file.Path)
            End If
        Next
    Next
    If listPath <> "" Then
        If Not fso.FileExists(listPath) Then Fail "the list of machines " & listPath & " does not exist"
        text = ""
        Set stream = fso.OpenTextFile(listPath, 1)
        If Not stream.AtEndOfStream Then text = stream.ReadAll
        stream.Close
        lines = Split(Replace(text, vbCr, vbLf), vbLf)
        For j = 0 To UBound(lines)
            name = Trim(Replace(lines(j), vbTab, " "))
            If name <> "" And Left(name, 1) <> ";" And Left(name, 1) <> "#" Then
                If Not machines.Exists(name) Then machines.Add name, ""
            End If
        Next
    End If

    Set totals = NewDictionary()
    Set groups = NewDictionary()
    kinds = OutcomeKinds()
    names = SortedKeys(machines)
    Set releases = NewDictionary()
    width = 16
    releaseWidth = 0
    For i = 0 To UBound(names)
        If Len(names(i)) + 2 > width Then width = Len(names(i)) + 2
        text = ""
        If outcomes.Exists(names(i)) Then text = outcomes(names(i))
        outcomes(names(i)) = WithoutRelease(text, version)
        releases(names(i)) = version
        If version <> "" And Len(version) + 2 > releaseWidth Then releaseWidth = Len(version) + 2
    Next
    WScript.Echo "dstpatch outcomes in " & folder & ": " & (UBound(names) + 1) & " machines"
    csv = Row(Array("Machine", "Release", "Outcome", "Detail")) & vbCrLf
    For i = 0 To UBound(names)
        kind = KindOf(outcomes(names(i)), detail)
        If kind = "not reported" Then detail = ""
        totals(kind) = totals(kind) + 1
        group = GroupOf(kind, detail)
        If group <> "" Then groups(kind & vbTab & group) = groups(kind & vbTab & group) + 1
        text = Padded(names(i), width) & Padded(releases(names(i)), releaseWidth) & kind
        If detail <> "" Then text = text & ": " & detail
        WScript.Echo text
        csv = csv & Row(Array(names(i), releases(names(i)), kind, detail)) & vbCrLf
    Next

    WScript.Echo ""
    WScript.Echo "Totals:"
    csv = csv & vbCrLf & Row(Array("Outcome", "Group", "Machines")) & vbCrLf
    For k = 0 To UBound(kinds)
        If totals(kinds(k)) > 0 Or kinds(k) = "done" Or kinds(k) = "failed" Or kinds(k) = "not reported" Then
            WScript.Echo Count(totals(kinds(k)) + 0) & "  " & kinds(k)
            csv = csv & Row(Array(kinds(k), "", totals(kinds(k)) + 0)) & vbCrLf
            keys = SortedKeys(groups)
            For j = 0 To UBound(keys)
                g = Split(keys(j), vbTab)
                If g(0) = kinds(k) Then
                    WScript.Echo Count(groups(keys(j))) & "    " & g(1)
                    csv = csv & Row(Array(kinds(k), g(1), groups(keys(j)))) & vbCrLf
                End If
            Next
        End If
    Next
    WScript.Echo Count(UBound(names) + 1) & "  machines"
    csv = csv & Row(Array("machines", "", UBound(names) + 1)) & vbCrLf

    On Error Resume Next
    Set stream = fso.CreateTextFile(csvPath, True)
    If Err.Number = 0 Then stream.Write csv
    If Err.Number = 0 Then stream.Close
    problem = Err.Description
    If Err.Number <> 0 Then
        On Error GoTo 0
        WScript.Echo "dstpatch-report: could not write " & csvPath & ": " & problem
        WScript.Quit 1
    End If
    On Error GoTo 0
    WScript.Echo "CSV: " & csvPath
End Sub

Main
WScript.Quit 0
