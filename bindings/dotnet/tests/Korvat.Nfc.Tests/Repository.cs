using System;
using System.IO;
using System.Reflection;

namespace Korvat.Nfc.Tests
{
    [AttributeUsage(AttributeTargets.Assembly)]
    public sealed class RepositoryRootAttribute : Attribute
    {
        public RepositoryRootAttribute(string path) => Path = path;
        public string Path { get; }
    }

    internal static class Repository
    {
        public static string Root => typeof(Repository).Assembly.GetCustomAttribute<RepositoryRootAttribute>().Path;

        public static string File(string relative) => System.IO.Path.Combine(Root, relative);

        public static string Read(string relative) => System.IO.File.ReadAllText(File(relative));
    }
}
