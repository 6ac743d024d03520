// A first session with the compiled .NET assembly, as a new user runs it: TqRwdDll.dll and its
// .config beside the program, the library found by the runtime (the runtime package's
// libtq_RWD_DLL.so.1 through the map in the .config), against a simulated reader.
//
//   mcs -r:TqRwdDll.dll -out:DotnetSession.exe DotnetSession.cs
//   mono DotnetSession.exe EXPECTED_VERSION DEVICE
//
// Checks that the assembly and the library carry EXPECTED_VERSION, finds the card, reads a
// block, and checks that a wrong key raises ReaderStatusException. Exit status 0 only when all
// passed.
using System;
using TqRwdDll;

static class DotnetSession
{
    static int Fail(string what)
    {
        Console.Error.WriteLine("FAIL: " + what);
        return 1;
    }

    static int Main(string[] args)
    {
        if (args.Length != 2)
            return Fail("usage: DotnetSession.exe EXPECTED_VERSION DEVICE");
        string expected = args[0];
        string assembly = typeof(Reader).Assembly.GetName().Version.ToString();
        if (assembly != expected + ".0")
            return Fail("assembly version " + assembly + ", not " + expected + ".0");
        string library = NativeMethods.LibraryVersion();
        if (library != expected)
            return Fail("library version " + library + ", not " + expected);
        Console.WriteLine("assembly {0}, library {1}", assembly, library);

        using (var r = new Reader(args[1], ReplyMode.Complete, 1000)) {
            Card card = r.Find();
            if (card.Uid != "3A7C91E5")
                return Fail("card " + card.Uid);
            r.Login(1, Reader.DefaultKey);
            byte[] block = r.Read(4);
            if (block.Length != 16 || Array.Exists(block, b => b != 0))
                return Fail("block 4 " + BitConverter.ToString(block));
            Console.WriteLine("card {0}, block 4 {1}", card.Uid, BitConverter.ToString(block));
            r.Halt();
            r.Find(RequestMode.All);
            try {
                r.Login(2, new byte[] { 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5 });
                return Fail("a wrong key was taken");
            } catch (ReaderStatusException e) {
                Console.WriteLine("wrong key: ReaderStatusException: " + e.Message);
            }
        }
        return 0;
    }
}
