using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;

namespace Korvat.Nfc.Interop
{
    /// <summary>
    /// Finds and loads the two DLLs of the process's architecture before the first call: from
    /// runtimes/win-x86/native or runtimes/win-x64/native (the package's layout, below the
    /// application's directory or this assembly's), else from the application's directory
    /// (where a published, runtime-specific application has them). Once a DLL is loaded by its
    /// full path, every DllImport of its name binds to that module, and the tag library finds the
    /// main DLL loaded already. Each architecture's simulated reader plug-in is in
    /// <see cref="PluginDirectory"/>, the directory to name in plugins_home_directory.
    /// </summary>
    public static class NativeLibraryResolver
    {
        private static readonly object Gate = new object();
        private static string _directory;
        private static bool _loaded;

        /// <summary>"win-x86" or "win-x64": the native files this process can load.</summary>
        public static string RuntimeIdentifier
        {
            get
            {
                switch (RuntimeInformation.ProcessArchitecture)
                {
                    case Architecture.X86: return "win-x86";
                    case Architecture.X64: return "win-x64";
                    default: throw new PlatformNotSupportedException($"no native library for a {RuntimeInformation.ProcessArchitecture} process");
                }
            }
        }

        /// <summary>
        /// Uses the DLLs of this directory instead of searching. Call it before the first call of
        /// the library; afterwards the DLLs loaded stay.
        /// </summary>
        public static void UseDirectory(string directory)
        {
            if (directory == null) throw new ArgumentNullException(nameof(directory));
            lock (Gate)
            {
                if (_loaded) throw new InvalidOperationException($"the native library is loaded already, from {_directory}");
                _directory = Path.GetFullPath(directory);
            }
        }

        /// <summary>The directory the DLLs are (or will be) loaded from.</summary>
        public static string NativeDirectory
        {
            get
            {
                lock (Gate)
                {
                    return _directory ?? (_directory = Candidates().FirstOrDefault(d => File.Exists(Path.Combine(d, NfcNative.LibraryName))))
                           ?? throw new DllNotFoundException($"{NfcNative.LibraryName} ({RuntimeIdentifier}) is in none of: {string.Join("; ", Candidates())}");
                }
            }
        }

        /// <summary>
        /// The simulated reader plug-in's directory, plugins_home_directory for it: plugins/ beside
        /// the DLLs in the package's layout, or the DLLs' directory itself where a runtime-specific
        /// publish has put every native file of the package in one directory (the library searches
        /// plugins_home_directory with its subdirectories).
        /// </summary>
        public static string PluginDirectory
        {
            get
            {
                string plugins = Path.Combine(NativeDirectory, "plugins");
                return Directory.Exists(plugins) ? plugins : NativeDirectory;
            }
        }

        /// <summary>Loads both DLLs once; later calls return at once.</summary>
        public static void EnsureLoaded()
        {
            lock (Gate)
            {
                if (_loaded) return;
                string directory = NativeDirectory;
                Load(Path.Combine(directory, NfcNative.LibraryName));
                string tags = Path.Combine(directory, TagsNative.LibraryName);
                if (File.Exists(tags)) Load(tags);
                _loaded = true;
            }
        }

        private static IEnumerable<string> Candidates()
        {
            string rid = RuntimeIdentifier;
            var roots = new List<string> { AppContext.BaseDirectory };
            string assemblyDirectory = Path.GetDirectoryName(typeof(NativeLibraryResolver).Assembly.Location);
            if (!string.IsNullOrEmpty(assemblyDirectory)) roots.Add(assemblyDirectory);
            foreach (string root in roots.Distinct(StringComparer.OrdinalIgnoreCase))
            {
                yield return Path.Combine(root, "runtimes", rid, "native");
                yield return root;
            }
        }

        private static void Load(string path)
        {
            // The DLL's own directory is searched for what it loads itself.
            const uint LoadWithAlteredSearchPath = 0x00000008;
            if (LoadLibraryExW(path, IntPtr.Zero, LoadWithAlteredSearchPath) == IntPtr.Zero)
                throw new DllNotFoundException($"{path} cannot be loaded: {new Win32Exception(Marshal.GetLastWin32Error()).Message}");
        }

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true, ExactSpelling = true)]
        private static extern IntPtr LoadLibraryExW(string fileName, IntPtr file, uint flags);
    }
}
